#pragma once

#include "ui/MonitorDlg.h"

#include <QString>

#include <functional>
#include <memory>

class CRecordingTrayShell;

namespace WindowTest {

// Empties the settings store of this test process.
void ClearSettings();
void WriteInt(const QString& key, int value);
void WriteString(const QString& key, const QString& value);
int ReadInt(const QString& key, int defaultValue);
QString ReadString(const QString& key, const QString& defaultValue = {});

// A window on a recording tray shell; shell receives the shell's address.
std::unique_ptr<CMonitorDlg> MakeWindow(CRecordingTrayShell** shell = nullptr);

// Processes events until done() or timeoutMs; returns done().
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000);

// A server setting that keeps the first-start e-mail prompt closed.
void SetUpEmail();

} // namespace WindowTest
