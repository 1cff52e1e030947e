#include "probe/HealthQuery.h"

#include <QStringList>

namespace {

// The parts of a statement that matter to the check: its bare words (upper case), and
// whether an '=' or a statement after a ';' shows outside quotes and comments.
struct Scan {
    QStringList words;
    bool hasEquals = false;
    bool secondStatement = false;
    bool unterminated = false;
};

bool WordChar(QChar c) {
    return c.isLetterOrNumber() || c == u'_' || c == u'$';
}

// Skips a quoted run starting at text[i] (the opening quote); a doubled quote stays inside, and
// so does one after a backslash when backslashes escape. Returns the index after the closing
// quote, or -1 when it never closes.
qsizetype SkipQuoted(const QString& text, qsizetype i, QChar close, bool backslashes) {
    for (++i; i < text.size(); ++i) {
        if (backslashes && text[i] == u'\\') {
            ++i;
        } else if (text[i] == close) {
            if (i + 1 < text.size() && text[i + 1] == close)
                ++i;
            else
                return i + 1;
        }
    }
    return -1;
}

// PostgreSQL's $tag$ ... $tag$ quoting; i is at the first '$'. Returns the index after the
// closing tag, i itself when this is no dollar quote, or -1 when it never closes.
qsizetype SkipDollarQuoted(const QString& text, qsizetype i) {
    qsizetype end = i + 1;
    while (end < text.size() && (text[end].isLetterOrNumber() || text[end] == u'_'))
        ++end;
    if (end >= text.size() || text[end] != u'$')
        return i;
    const QString tag = text.mid(i, end - i + 1);
    const qsizetype close = text.indexOf(tag, end + 1);
    return close < 0 ? -1 : close + tag.size();
}

// Whether a backslash escapes a quote depends on the server and its settings (MySQL: yes;
// PostgreSQL: only in E'...'), so a statement is scanned both ways.
Scan ScanStatement(const QString& text, bool backslashes) {
    Scan scan;
    bool ended = false; // a ';' was seen
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text[i];
        qsizetype next = i + 1;
        if (c.isSpace()) {
            i = next;
            continue;
        }
        if (c == u'-' && i + 1 < text.size() && text[i + 1] == u'-') {
            const qsizetype eol = text.indexOf(u'\n', i);
            i = eol < 0 ? text.size() : eol + 1;
            continue;
        }
        if (c == u'/' && i + 1 < text.size() && text[i + 1] == u'*') {
            const qsizetype close = text.indexOf(QLatin1String("*/"), i + 2);
            if (close < 0) {
                scan.unterminated = true;
                return scan;
            }
            i = close + 2;
            continue;
        }
        if (ended) {
            scan.secondStatement = true;
            return scan;
        }
        if (c == u';') {
            ended = true;
        } else if (c == u'\'' || c == u'"' || c == u'`') {
            next = SkipQuoted(text, i, c, backslashes && c == u'\'');
        } else if (c == u'[') {
            next = SkipQuoted(text, i, u']', false);
        } else if (c == u'$') {
            next = SkipDollarQuoted(text, i);
            if (next == i)
                next = i + 1;
        } else if (c == u'=') {
            scan.hasEquals = true;
        } else if (WordChar(c)) {
            while (next < text.size() && WordChar(text[next]))
                ++next;
            scan.words << text.mid(i, next - i).toUpper();
        }
        if (next < 0) {
            scan.unterminated = true;
            return scan;
        }
        i = next;
    }
    return scan;
}

// Statements that read; anything else is refused by its first word.
const QStringList kReading = {
    QStringLiteral("SELECT"), QStringLiteral("WITH"),     QStringLiteral("VALUES"),
    QStringLiteral("SHOW"),   QStringLiteral("PRAGMA"),   QStringLiteral("EXPLAIN"),
    QStringLiteral("TABLE"),  QStringLiteral("DESCRIBE"), QStringLiteral("DESC")};

// Words that write or lock wherever they stand in a reading statement: a data-modifying WITH,
// SELECT ... INTO a new table or a file, EXPLAIN ANALYZE of a change.
const QStringList kWriting = {
    QStringLiteral("INSERT"),   QStringLiteral("UPDATE"),  QStringLiteral("DELETE"),
    QStringLiteral("MERGE"),    QStringLiteral("UPSERT"),  QStringLiteral("INTO"),
    QStringLiteral("TRUNCATE"), QStringLiteral("DROP"),    QStringLiteral("ALTER"),
    QStringLiteral("CREATE"),   QStringLiteral("GRANT"),   QStringLiteral("REVOKE"),
    QStringLiteral("ANALYZE"),  QStringLiteral("ANALYSE"), QStringLiteral("VACUUM"),
    QStringLiteral("COPY"),     QStringLiteral("LOCK")};

std::optional<QString> RefusalOf(const Scan& scan) {
    if (scan.unterminated)
        return QStringLiteral("The health query has a quote or comment that is never closed.");
    if (scan.secondStatement)
        return QStringLiteral("The health query must be a single statement.");
    if (scan.words.isEmpty())
        return std::nullopt;
    const QString& first = scan.words.front();
    if (!kReading.contains(first))
        return QStringLiteral("A health query must be a query (SELECT, WITH, VALUES, SHOW, "
                              "PRAGMA, EXPLAIN), not %1.")
            .arg(first);
    if (first == QLatin1String("PRAGMA") && scan.hasEquals)
        return QStringLiteral(
            "A PRAGMA with \"=\" sets a value; a health query may only read one.");
    for (const QString& word : scan.words.sliced(1)) {
        if (kWriting.contains(word))
            return QStringLiteral("A health query must only read; this one contains %1.").arg(word);
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> HealthQuery::Refusal(const QString& sql) {
    if (std::optional<QString> refusal = RefusalOf(ScanStatement(sql, true)))
        return refusal;
    return RefusalOf(ScanStatement(sql, false));
}
