#pragma once

#include "platform/LogFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <vector>

// The bytes of a log and where each of its lines starts, so that a viewer can show any line
// without keeping text per line. A line ends at LF, CR LF or a lone CR, the way text-mode readers
// take them, so no line holds either byte, and every byte belongs to exactly one line: to its
// text or to its line end. Bytes are only ever added at the end, as a log grows; the last line is
// indexed again while its end may still change (no line end yet, or a CR that an LF may follow),
// so a file added in pieces gives the same lines as the whole file added at once.
class LogLines {
public:
    void Clear();
    // Room for this many bytes and lines, so that a whole file is read without regrowing.
    void Reserve(qsizetype bytes, qsizetype lines = 0);
    void Append(QByteArrayView bytes);

    // The lines of a piece cut from the end of a file: its first line is left out unless the
    // piece starts the file, since it may be the tail of a longer one.
    static LogLines FromTail(QByteArrayView piece, bool startsFile);

    qsizetype Count() const { return static_cast<qsizetype>(m_starts.size()) - 1; }
    qsizetype Size() const { return m_bytes.size(); }
    // Line i spans [Start(i), End(i)) with its line end; Line(i) is its text without it.
    qsizetype Start(qsizetype i) const { return m_starts[static_cast<size_t>(i)]; }
    qsizetype End(qsizetype i) const { return m_starts[static_cast<size_t>(i) + 1]; }
    QByteArrayView Line(qsizetype i) const;
    QString Text(qsizetype i) const { return QString::fromUtf8(Line(i)); }
    // Bytes of the longest line, line end included: an upper bound for the widest line.
    qsizetype LongestLine() const { return m_longest; }
    QByteArrayView Bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
    // One entry per line plus one: the last says where the next line will start.
    std::vector<qsizetype> m_starts{0};
    qsizetype m_longest = 0;
};

// A text to look for in single lines. Case-insensitive matching folds ASCII letters on the bytes
// themselves (no line is decoded); only a text with other letters compares decoded lines.
class LogLineMatcher {
public:
    LogLineMatcher(const QString& text, Qt::CaseSensitivity cs);
    bool Matches(QByteArrayView line) const;

private:
    uchar Fold(uchar c) const { return m_fold && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

    QString m_text;
    QByteArray m_needle;
    bool m_fold = false;
    bool m_decode = false;
    std::array<qsizetype, 256> m_skip{};
};

// One find over the lines of a log: from the line after `from` towards the end (or before it,
// towards the start), round the far end and back, with `from` itself looked at last, so that a
// repeated find walks every match in turn. It runs a slice at a time, so that a long log never
// holds the window up; lines added meanwhile are not part of it.
class LogFind {
public:
    enum class State { Searching, Found, NotFound };

    // from: the current line, or -1 for none (the find then starts at the first or last line).
    LogFind(const QString& text, Qt::CaseSensitivity cs, bool forward, qsizetype from,
            qsizetype count);
    // Looks at up to `budget` more lines of `lines`, which must hold at least `count` lines.
    State Run(const LogLines& lines, qsizetype budget);
    State Current() const { return m_state; }
    qsizetype Match() const { return m_match; }

private:
    LogLineMatcher m_matcher;
    bool m_forward;
    qsizetype m_count;
    qsizetype m_next;
    qsizetype m_left;
    qsizetype m_match = -1;
    State m_state = State::Searching;
};
