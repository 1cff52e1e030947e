#pragma once

#include "probe/Connector.h"
#include "probe/DataSourceChooser.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

// The user at the data-source dialog: a fixed answer, or a cancel.
class FixedChooser : public IDataSourceChooser {
public:
    explicit FixedChooser(std::optional<QString> answer) : m_answer(std::move(answer)) {}
    std::optional<QString> ChooseDataSource() override { return m_answer; }

private:
    std::optional<QString> m_answer;
};

// Passes every driver connect on to the driver manager after a step of the test's own, run on
// the connecting thread: a test holds a poll there, slows it, or fails when a connect comes at
// all. Counts the connects that reached it.
class SteppedConnector : public IConnector {
public:
    // Pass {} to remove the step. A connect already in the old step finishes with it.
    void SetStep(std::function<void()> step) {
        std::lock_guard lock(m_mutex);
        m_step = std::move(step);
    }
    int Connects() const { return m_connects.load(); }

    bool Connect(Odbc::Connection& connection, const QByteArray& connectionString,
                 std::vector<SQLCHAR>* completed, SQLSMALLINT* completedBytes) override {
        ++m_connects;
        std::function<void()> step;
        {
            std::lock_guard lock(m_mutex);
            step = m_step;
        }
        if (step)
            step();
        return connection.DriverConnect(connectionString, completed, completedBytes);
    }

private:
    std::mutex m_mutex;
    std::function<void()> m_step;
    std::atomic<int> m_connects{0};
};
