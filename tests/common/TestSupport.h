#pragma once

#include <QString>

// Small helpers shared by the test binaries.
namespace TestSupport {

// The per-process temporary folder the test main made (settings, state, runtime under it).
QString HomeDir();

// A fresh empty folder under HomeDir(), removed with the process's temporary folder.
QString MakeTempDir(const QString& prefix);

} // namespace TestSupport
