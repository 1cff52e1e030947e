// Feeds arbitrary bytes to the SMTP reply reader in pieces of a size the input chooses. Every
// reply it gives must be well formed and be exactly the next bytes of the stream; a stream it
// refuses stays refused.
#include "mail/SmtpReply.h"

#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Lines of "NNN-" up to one of "NNN" or "NNN ", one code throughout, each ended by LF.
bool WellFormed(const QByteArray& text, int code) {
    if (!text.endsWith('\n'))
        return false;
    const QList<QByteArray> lines = text.chopped(1).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() < 3 || line[0] < '2' || line[0] > '5' || !IsDigit(line[1]) ||
            !IsDigit(line[2]) || line.left(3) != text.left(3))
            return false;
        const bool last = i + 1 == lines.size();
        if (last ? line.size() > 3 && line[3] != ' ' : line.size() < 4 || line[3] != '-')
            return false;
    }
    return code == text.left(3).toInt();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 97;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    SmtpReplyReader reader;
    size_t fed = 0;
    size_t taken = 0;
    while (fed < length) {
        // Each piece in a buffer of its own size, so that a read past it is caught.
        const size_t n = std::min(piece, length - fed);
        const std::unique_ptr<char[]> chunk(new char[n]);
        std::copy(stream + fed, stream + fed + n, chunk.get());
        reader.Feed(chunk.get(), static_cast<qsizetype>(n));
        fed += n;
        for (;;) {
            SmtpReply reply;
            const SmtpReplyReader::Result result = reader.Next(&reply);
            if (result == SmtpReplyReader::Result::NeedMore)
                break;
            if (result != SmtpReplyReader::Result::Reply) {
                Check(reader.Next(&reply) == result);
                return 0;
            }
            Check(WellFormed(reply.text, reply.code));
            Check(reply.text.size() <= SmtpReplyReader::kMaxReplyBytes);
            Check(reply.text == QByteArray(stream + taken, reply.text.size()));
            taken += static_cast<size_t>(reply.text.size());
        }
        Check(taken + static_cast<size_t>(reader.Pending()) == fed);
    }
    return 0;
}
