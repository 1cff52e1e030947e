// Line indexing of log bytes: every byte belongs to exactly one line, no line holds a CR or LF,
// indexing a file that grows piece by piece gives the lines of indexing it whole, a piece cut
// from the end gives the whole file's last lines, and the byte matcher agrees with a plain
// search.
#include "log/LogLines.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void CheckLines(const LogLines& lines, QByteArrayView bytes) {
    Check(lines.Size() == bytes.size());
    Check(lines.Count() == 0 ? bytes.isEmpty() : lines.Start(0) == 0);
    for (qsizetype i = 0; i < lines.Count(); ++i) {
        const QByteArrayView text = lines.Line(i);
        Check(text.data() == lines.Bytes().data() + lines.Start(i));
        Check(!text.contains('\r') && !text.contains('\n'));
        const QByteArrayView end =
            bytes.sliced(lines.Start(i) + text.size(), lines.End(i) - lines.Start(i) - text.size());
        const bool last = i + 1 == lines.Count();
        Check(end == "\n" || end == "\r\n" || end == "\r" || (last && end.isEmpty()));
        // A lone CR ends a line only where no LF follows it.
        Check(end != "\r" || last || bytes[lines.End(i)] != '\n');
        Check(end.size() + text.size() <= lines.LongestLine());
        Check(last ? lines.End(i) == bytes.size() : lines.End(i) == lines.Start(i + 1));
    }
}

bool SameLines(const LogLines& a, const LogLines& b, qsizetype bFirst) {
    if (a.Count() != b.Count() - bFirst)
        return false;
    for (qsizetype i = 0; i < a.Count(); ++i) {
        if (a.Line(i) != b.Line(bFirst + i) ||
            a.End(i) - a.Start(i) != b.End(bFirst + i) - b.Start(bFirst + i))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    // Three bytes choose the cuts and the text to look for; the rest is the log.
    const QByteArrayView bytes(reinterpret_cast<const char*>(data) + 3,
                               static_cast<qsizetype>(size) - 3);
    const qsizetype n = bytes.size();

    LogLines whole;
    whole.Append(bytes);
    CheckLines(whole, bytes);

    // The same bytes arriving as a log grows, in pieces of a chosen rhythm.
    LogLines grown;
    const qsizetype step = data[0] % 7 + 1;
    for (qsizetype at = 0; at < n;) {
        const qsizetype piece = std::min<qsizetype>(n - at, step + (at * data[1]) % 5);
        grown.Append(bytes.sliced(at, piece));
        at += piece;
    }
    CheckLines(grown, bytes);
    Check(SameLines(grown, whole, 0));

    // A piece from the end shows the whole file's last lines.
    const qsizetype cut = n ? (data[1] * 31 + data[2]) % (n + 1) : 0;
    const LogLines tail = LogLines::FromTail(bytes.sliced(cut), cut == 0);
    Check(tail.Count() <= whole.Count());
    Check(SameLines(tail, whole, whole.Count() - tail.Count()));
    if (cut == 0)
        Check(tail.Count() == whole.Count());

    // Case-insensitive find of a stretch of the log's own ASCII bytes, against a plain search.
    const qsizetype from = n ? data[2] % n : 0;
    const QByteArray needle = bytes.sliced(from, std::min<qsizetype>(n - from, data[0] % 6 + 1))
                                  .toByteArray()
                                  .replace('\r', ' ')
                                  .replace('\n', ' ');
    bool ascii = true;
    for (const char c : needle)
        ascii = ascii && static_cast<uchar>(c) < 0x80;
    if (!ascii)
        return 0;
    for (const auto cs : {Qt::CaseInsensitive, Qt::CaseSensitive}) {
        const LogLineMatcher matcher(QString::fromLatin1(needle), cs);
        for (qsizetype i = 0; i < whole.Count(); ++i) {
            const QByteArray line = whole.Line(i).toByteArray();
            const bool expected = cs == Qt::CaseSensitive
                                      ? line.contains(needle)
                                      : line.toLower().contains(needle.toLower());
            Check(matcher.Matches(whole.Line(i)) == expected);
        }
    }
    return 0;
}
