#include "log/LogLines.h"

#include <algorithm>
#include <cstring>

void LogLines::Clear() {
    m_bytes = QByteArray();
    m_starts.assign(1, 0);
    m_longest = 0;
}

void LogLines::Reserve(qsizetype bytes, qsizetype lines) {
    m_bytes.reserve(bytes);
    m_starts.reserve(static_cast<size_t>(lines) + 1);
}

void LogLines::Append(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return;
    // A last line that has no line end yet, or only a CR, may still grow: index it again.
    if (Count() > 0 && m_bytes.back() != '\n')
        m_starts.pop_back();
    m_bytes.append(bytes);

    const char* data = m_bytes.constData();
    const qsizetype size = m_bytes.size();
    const auto next = [&](char c, qsizetype from) {
        const void* hit = std::memchr(data + from, c, static_cast<size_t>(size - from));
        return hit ? static_cast<const char*>(hit) - data : size;
    };
    qsizetype pos = m_starts.back();
    // Where the next LF and CR are; a log with CR LF ends finds both at once, one without CRs
    // looks for them once.
    qsizetype lf = -1;
    qsizetype cr = -1;
    while (pos < size) {
        if (lf < pos)
            lf = next('\n', pos);
        if (cr < pos)
            cr = next('\r', pos);
        const qsizetype end = std::min(lf, cr);
        qsizetype start;
        if (end == size)
            start = size;
        else if (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n')
            start = end + 2;
        else
            start = end + 1;
        m_longest = std::max(m_longest, start - pos);
        m_starts.push_back(start);
        pos = start;
    }
}

LogLines LogLines::FromTail(QByteArrayView piece, bool startsFile) {
    qsizetype from = 0;
    if (!startsFile) {
        const qsizetype lf = piece.indexOf('\n');
        const qsizetype cr = piece.indexOf('\r');
        const qsizetype end = lf < 0 ? cr : cr < 0 ? lf : std::min(lf, cr);
        if (end < 0)
            from = piece.size();
        else if (piece[end] == '\r' && end + 1 < piece.size() && piece[end + 1] == '\n')
            from = end + 2;
        else
            from = end + 1;
    }
    LogLines lines;
    lines.Append(piece.sliced(from));
    return lines;
}

QByteArrayView LogLines::Line(qsizetype i) const {
    const qsizetype start = Start(i);
    qsizetype end = End(i);
    if (end > start && m_bytes[end - 1] == '\n')
        --end;
    if (end > start && m_bytes[end - 1] == '\r')
        --end;
    return QByteArrayView(m_bytes.constData() + start, end - start);
}

LogLineMatcher::LogLineMatcher(const QString& text, Qt::CaseSensitivity cs) : m_text(text) {
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    m_decode = cs == Qt::CaseInsensitive && !ascii;
    m_fold = cs == Qt::CaseInsensitive && ascii;
    m_needle = text.toUtf8();
    for (char& c : m_needle)
        c = static_cast<char>(Fold(static_cast<uchar>(c)));
    // Horspool: how far a window may move when its last byte is c.
    const qsizetype n = m_needle.size();
    m_skip.fill(std::max<qsizetype>(n, 1));
    for (qsizetype i = 0; i + 1 < n; ++i)
        m_skip[static_cast<uchar>(m_needle[i])] = n - 1 - i;
}

bool LogLineMatcher::Matches(QByteArrayView line) const {
    if (m_decode)
        return QString::fromUtf8(line).contains(m_text, Qt::CaseInsensitive);
    const qsizetype n = m_needle.size();
    if (n == 0)
        return true;
    const auto* hay = reinterpret_cast<const uchar*>(line.data());
    const auto* needle = reinterpret_cast<const uchar*>(m_needle.constData());
    const uchar last = needle[n - 1];
    for (qsizetype pos = 0; pos + n <= line.size();) {
        const uchar c = Fold(hay[pos + n - 1]);
        if (c == last) {
            qsizetype i = 0;
            while (i + 1 < n && Fold(hay[pos + i]) == needle[i])
                ++i;
            if (i + 1 == n)
                return true;
        }
        pos += m_skip[c]; // c is folded already, like the needle
    }
    return false;
}

LogFind::LogFind(const QString& text, Qt::CaseSensitivity cs, bool forward, qsizetype from,
                 qsizetype count)
    : m_matcher(text, cs), m_forward(forward), m_count(count), m_left(count) {
    if (from < 0 || from >= count)
        m_next = forward ? 0 : count - 1;
    else
        m_next = forward ? (from + 1) % count : (from + count - 1) % count;
    if (count <= 0)
        m_state = State::NotFound;
}

LogFind::State LogFind::Run(const LogLines& lines, qsizetype budget) {
    while (m_state == State::Searching && budget-- > 0) {
        const qsizetype line = m_next;
        if (m_matcher.Matches(lines.Line(line))) {
            m_match = line;
            m_state = State::Found;
            break;
        }
        m_next = m_forward ? (line + 1) % m_count : (line + m_count - 1) % m_count;
        if (--m_left == 0)
            m_state = State::NotFound;
    }
    return m_state;
}
