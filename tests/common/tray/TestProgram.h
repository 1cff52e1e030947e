#pragma once

#include "app/Program.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "ui/MonitorDlg.h"

#include <memory>

// The whole program as the window tests drive it, its icon in a recording tray. Used like a
// pointer to its window; an empty one (nullptr) stands for a window that could not be made.
class TestProgram {
public:
    TestProgram(std::nullptr_t) {}
    explicit TestProgram(
        std::unique_ptr<ITrayShell> shell = std::make_unique<CRecordingTrayShell>(),
        ProgramOptions options = {}) {
        options.trayShell = std::move(shell);
        // Each program its own history, never the user's.
        if (options.historyFolder.isEmpty())
            options.historyFolder = TestSupport::MakeTempDir(QStringLiteral("history"));
        m_program = std::make_unique<Program>(std::move(options));
    }

    CMonitorDlg* get() const { return m_program ? &m_program->Window() : nullptr; }
    explicit operator bool() const { return m_program != nullptr; }
    void reset() { m_program.reset(); }
    CMonitorDlg* operator->() const { return get(); }
    CMonitorDlg& operator*() const { return *get(); }
    Program& Parts() const { return *m_program; }

private:
    std::unique_ptr<Program> m_program;
};

// Options whose probes use the given login time-out.
inline ProgramOptions WithLoginTimeout(int seconds) {
    ProgramOptions options;
    options.engine.probe.loginTimeoutSeconds = seconds;
    return options;
}
