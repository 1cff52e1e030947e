#include "mail/SmtpReply.h"

#include <algorithm>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

SmtpReplyReader::Result SmtpReplyReader::Fail(Result result) {
    m_final = result;
    return result;
}

SmtpReplyReader::Result SmtpReplyReader::Next(SmtpReply* reply) {
    if (m_final != Result::NeedMore)
        return m_final;
    for (;;) {
        const qsizetype start = m_scanned;
        const qsizetype available = m_buffer.size() - start;
        // Check what has come of the line so far, so that a stream that is not SMTP fails at
        // once instead of at the time limit.
        for (qsizetype i = 0; i < std::min<qsizetype>(available, 4); ++i) {
            const char c = m_buffer[start + i];
            const bool ok = i == 0  ? c >= '2' && c <= '5'
                            : i < 3 ? IsDigit(c)
                                    : c == '-' || c == ' ' || c == '\r' || c == '\n';
            // Every line of a reply carries the code of its first line.
            if (!ok || (i < 3 && start > 0 && c != m_buffer[i]))
                return Fail(Result::Malformed);
        }
        const qsizetype newline = m_buffer.indexOf('\n', start);
        if (newline < 0)
            return m_buffer.size() > kMaxReplyBytes ? Fail(Result::TooLong) : Result::NeedMore;
        if (newline + 1 > kMaxReplyBytes)
            return Fail(Result::TooLong);
        qsizetype end = newline;
        if (end > start && m_buffer[end - 1] == '\r')
            --end;
        if (end - start < 3)
            return Fail(Result::Malformed);
        const char separator = end - start == 3 ? ' ' : m_buffer[start + 3];
        if (separator != '-' && separator != ' ')
            return Fail(Result::Malformed);
        m_scanned = newline + 1;
        if (separator == '-')
            continue;
        reply->code = (m_buffer[0] - '0') * 100 + (m_buffer[1] - '0') * 10 + (m_buffer[2] - '0');
        reply->text = m_buffer.left(m_scanned);
        m_buffer.remove(0, m_scanned);
        m_scanned = 0;
        return Result::Reply;
    }
}
