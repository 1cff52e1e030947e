// The e-mail password with no session bus and no display to start one from: the settings file
// keeps it.
#include "tests/ui/dialogs/DialogsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using NoKeyring = DialogsTestSupport::Email;

TEST_F(NoKeyring, TheSettingsFileKeepsThePassword) {
    EXPECT_EQ(StartAndRunDialog(""), (QStringList{"", "", "<none>"})); // the read ends unanswered
    EXPECT_EQ(StartAndRunDialog("pw"), (QStringList{"pw", "pw", "<none>"}));
}

} // namespace
