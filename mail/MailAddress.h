#pragma once

#include <QString>
#include <QStringList>

// A recipient field may name several addresses, separated by commas or semicolons; blanks
// around each are dropped, and so are empty entries.
QStringList SplitAddressList(const QString& text);

// The form local@domain: one "@" with text on both sides, no blanks, no angle brackets and no
// control characters (which would end a command line).
bool IsMailAddress(const QString& address);
