#pragma once

#include <QByteArray>

struct SmtpReply {
    int code = 0;
    QByteArray text; // every line of the reply, line ends included
};

// Cuts the bytes a mail server sends into replies: lines of one three-digit code followed by
// '-', up to the last line, where the code is followed by a blank or the line end. Knows
// nothing of sockets, so it can be fed anything in any pieces.
class SmtpReplyReader {
public:
    static constexpr qsizetype kMaxReplyBytes = 64 * 1024;
    enum class Result { NeedMore, Reply, TooLong, Malformed };

    void Feed(const char* data, qsizetype size) { m_buffer.append(data, size); }

    // Takes the next whole reply out of the buffer. TooLong and Malformed are final: after
    // them the stream cannot be trusted, and every later call says the same.
    Result Next(SmtpReply* reply);

    // Bytes received after the last reply taken.
    qsizetype Pending() const { return m_buffer.size(); }

    // The start of the reply that could not be read, for the failure text.
    QByteArray Unread(qsizetype size) const { return m_buffer.left(size); }

private:
    Result Fail(Result result);

    QByteArray m_buffer;
    qsizetype m_scanned = 0; // m_buffer[0, m_scanned) holds the reply's continuation lines
    Result m_final = Result::NeedMore;
};
