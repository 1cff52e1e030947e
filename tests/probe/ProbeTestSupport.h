#pragma once

#include "platform/Notice.h"
#include "probe/DataSourceChooser.h"
#include "tests/common/RecordingNotice.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

// Readable QString values in gtest failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// Stands in for the user at the data-source dialog: answers with a fixed choice.
class ScriptedChooser : public IDataSourceChooser {
public:
    explicit ScriptedChooser(std::optional<QString> answer) : m_answer(std::move(answer)) {}
    std::optional<QString> ChooseDataSource() override {
        ++m_calls;
        return m_answer;
    }
    int Calls() const { return m_calls.load(); }

private:
    std::optional<QString> m_answer;
    std::atomic<int> m_calls{0};
};

// Polls until done() or the time is up; true when done() became true. For waits that must
// not depend on how loaded the machine is.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs statements on a data source with plain ODBC calls (setting up a database for a test);
// returns the first failure's diagnostic, empty when all ran.
QString ExecSql(const QString& connectionString, const QStringList& statements);
