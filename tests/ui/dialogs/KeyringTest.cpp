// The e-mail password and the desktop's keyring, run in a D-Bus session with a real GNOME keyring
// (keyring-session.sh): a password from the settings file moves there at OK and comes back.
#include "tests/ui/dialogs/DialogsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using Keyring = DialogsTestSupport::Email;

TEST_F(Keyring, FilePasswordMovesThereAtOkAndComesBackAtTheNextStart) {
    EXPECT_EQ(StartAndRunDialog("pässwort 1"), (QStringList{"pässwort 1", "", ""}));
    EXPECT_EQ(StartAndRunDialog("", "new one"), (QStringList{"pässwort 1", "", "pässwort 1"}));
    EXPECT_EQ(StartAndRunDialog(""), (QStringList{"new one", "", "new one"}));
}

} // namespace
