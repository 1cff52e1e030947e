// The slot display's number texts: FormatMs prints like "%g" in any locale, RoundScale edits
// that text, LeadingInt reads an edit box like atoi, saturating.
#include "monitor/SlotStatus.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    double value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));
    const QString text = FormatMs(value);
    if (text.isEmpty() || text.contains(u','))
        std::abort();
    if (std::isfinite(value)) {
        const double back = std::strtod(text.toLatin1().constData(), nullptr);
        if (std::fabs(back - value) > std::fabs(value) * 1e-5 + 1e-300)
            std::abort(); // six significant digits
        const double scale = RoundScale(value);
        // Below the exponent form, a scale that does not end in 0 goes up to the next ten (as
        // "%g" rounds value + 10 to six digits).
        const double slack = (value + 10) * 1e-5;
        if (value >= 0 && value < 9e5 && !text.endsWith(u'0') &&
            (scale < value - slack || scale > value + 10 + slack || std::fmod(scale, 10) != 0))
            std::abort();
    } else {
        RoundScale(value);
    }
    const QByteArray latin = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString box = QString::fromLatin1(latin);
    errno = 0;
    const long long expected = std::strtoll(latin.constData(), nullptr, 10);
    const int read = LeadingInt(box);
    // strtoll also takes white space this does not (none beyond " \t\n\v\f\r") and 0x... is
    // decimal 0 for both; compare where the text is plain.
    if (!latin.contains('\0') && read != std::clamp<long long>(expected, INT_MIN, INT_MAX))
        std::abort();
    return 0;
}
