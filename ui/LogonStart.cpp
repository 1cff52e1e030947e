#include "ui/LogonStart.h"

#include "controls/Icons.h"
#include "platform/Notice.h"
#include "platform/Platform.h"
#include "platform/ProductInfo.h"

namespace LogonStart {

QString EntryPath() {
    return CurrentPlatform().LogonEntryPath(QLatin1String(ProductInfo::kProgramName));
}

bool Apply(bool on, const QString& programPath, INotice* notice) {
    const LogonEntry entry{QLatin1String(ProductInfo::kProgramName),
                           QLatin1String(ProductInfo::kDescription), programPath,
                           QLatin1String(kThemeIconName)};
    const bool ok = CurrentPlatform().SetLogonStart(entry, on);
    if (!ok && notice)
        notice->ShowNotice(QStringLiteral("Could not register Trellion."));
    return ok;
}

} // namespace LogonStart
