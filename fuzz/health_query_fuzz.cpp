// The check that a health query only reads, on untrusted SQL text. Nothing may crash or hang; a
// refusal is one printable sentence; blanks around a statement change nothing; a statement it
// lets through never lets a second one through behind it.
#include "probe/HealthQuery.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool OnePrintableLine(const QString& text) {
    for (const char32_t cp : text.toUcs4()) {
        if (!QChar::isPrint(cp))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString sql =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QString> refusal = HealthQuery::Refusal(sql);
    if (refusal)
        Check(!refusal->isEmpty() && OnePrintableLine(*refusal));
    Check(HealthQuery::Refusal(QStringLiteral(" \n") + sql + QStringLiteral("\n ")) == refusal);
    if (!refusal && HealthQuery{sql, QString(), 1}.IsSet())
        Check(HealthQuery::Refusal(sql + QStringLiteral("\n; DELETE FROM t")).has_value());
    return 0;
}
