#pragma once

#include <QByteArrayView>
#include <QString>

// Bytes from a database or a user, made safe to put into a reason, a log line, a notification
// or a tool tip: one line of printable text that says exactly what the bytes were.
//
// The bytes are read as UTF-8. A byte that is not part of a valid sequence shows as \xNN; a
// control character as \n, \r, \t or \xNN (C0 and DEL) or \u{NNNN} (C1); so do the invisible
// and direction-changing characters (formats such as U+202E, line and paragraph separators,
// private-use and unassigned code points); a backslash shows as \\. At most `maxChars`
// characters of that text are kept, never half an escape; a cut value ends with "..." and its
// size in bytes.
namespace ShownText {

inline constexpr qsizetype kMaxShownChars = 64;

// Unquoted: a number, or an expectation the user typed.
QString Bare(QByteArrayView bytes, qsizetype maxChars = kMaxShownChars);
// In double quotes (a quote inside shows as \"), the cut marker after the closing quote.
QString Quoted(QByteArrayView bytes, qsizetype maxChars = kMaxShownChars);

} // namespace ShownText
