#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ctime>

// The text of one plain-text alert message, as sent after DATA.
namespace MailMessage {

// "Mon, 07 Dec 2026 00:17:38 +0100": English names whatever the locale, the local time with
// its numeric offset from UTC.
QByteArray FormatDate(std::time_t when);

// A new "<unique@host>" id on every call.
QByteArray NewMessageId();

// The text with every run of CR and LF replaced by one blank, so that a value never starts a
// new header line or a new command.
QString OneLine(const QString& text);

// An unstructured header value (a subject): printable ASCII as it is, anything else as
// encoded-words "=?UTF-8?B?...?=" of at most 75 characters each, cut between whole characters
// and separated by blanks. Line breaks become blanks first.
QByteArray EncodeText(const QString& text);

// A display name: like EncodeText, and in double quotes where it holds a character that would
// end the name early (a comma, a colon, an angle bracket, ...).
QByteArray EncodePhrase(const QString& name);

// "Name: value" with CR LF, folded at blanks so that lines stay within 78 characters where
// the blanks allow it (and within 998 always, given a value from EncodeText).
QByteArray HeaderField(const QByteArray& name, const QByteArray& value);

// The body with CR LF line ends and its transfer encoding: "7bit" when it is ASCII with lines
// of at most 998 octets, else "8bit" when the server takes 8-bit data and every line fits,
// else "quoted-printable". Not yet dot-stuffed.
struct Body {
    QByteArray encoding;
    QByteArray text;
};
Body EncodeBody(const QString& body, bool eightBitAllowed);

// Doubles a dot at the start of every line: the message cannot end early.
QByteArray DotStuff(const QByteArray& text);

// The whole message: headers, the dot-stuffed body and the terminator.
QByteArray Build(const QString& senderName, const QString& returnAddress,
                 const QStringList& recipients, const QString& subject, const Body& body,
                 std::time_t when);

} // namespace MailMessage
