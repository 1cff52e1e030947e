#pragma once

#include <QString>

#include <functional>

// Small helpers shared by the test binaries.
namespace TestSupport {

// The per-process temporary folder the test main made (settings, state, runtime under it).
QString HomeDir();

// A fresh empty folder under HomeDir(), removed with the process's temporary folder.
QString MakeTempDir(const QString& prefix);

// The file's bytes; empty when it cannot be read.
QByteArray ReadFile(const QString& path);

// Runs the event loop until done() holds or timeoutMs passed; true when done() held. For waits
// that must not depend on how loaded the machine is.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

} // namespace TestSupport
