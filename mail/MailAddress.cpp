#include "MailAddress.h"

#include <QRegularExpression>

QStringList SplitAddressList(const QString& text) {
    static const QRegularExpression separator(QStringLiteral("[,;]"));
    QStringList addresses;
    for (const QString& part : text.split(separator)) {
        const QString address = part.trimmed();
        if (!address.isEmpty())
            addresses << address;
    }
    return addresses;
}

bool IsMailAddress(const QString& address) {
    const qsizetype at = address.indexOf(u'@');
    if (at <= 0 || at != address.lastIndexOf(u'@') || at == address.size() - 1)
        return false;
    for (const QChar c : address) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == u'<' || c == u'>')
            return false;
    }
    return true;
}
