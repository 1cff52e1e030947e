#pragma once

#include "probe/HealthTrial.h"
#include "probe/ProbeOptions.h"

#include <QDialog>

#include <atomic>

class IDialogPrompt;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

// "Health Check": a database's health query, what its first value must be and its time-out,
// kept in the database's own section (named by its title). Test runs one probe with them off
// the UI thread and shows the value found, the time taken and the verdict. OK refuses a
// statement that is not a query and an expectation that states none, saying why, and stays
// open; otherwise it stores the three keys, which the next poll reads.
class CHealthCheckDlg : public QDialog {
    Q_OBJECT
public:
    // section: the database's title; connectionString: the stored one its polls use.
    CHealthCheckDlg(const QString& section, const QString& connectionString, ProbeOptions options,
                    QWidget* parent = nullptr, IDialogPrompt* prompt = nullptr);

    QPlainTextEdit* QueryEdit() const { return m_query; }
    QLineEdit* ExpectEdit() const { return m_expect; }
    QSpinBox* TimeoutBox() const { return m_timeout; }
    QPushButton* TestButton() const { return m_test; }
    QLabel* ResultLabel() const { return m_result; }

    // Tests still running, in any dialog (one closed meanwhile included).
    static int RunningTests() { return s_running.load(); }

    // What the result label says of a trial.
    static QString Describe(const HealthTrial& trial);

public slots:
    void accept() override;
    void Test();

signals:
    // The result of a Test is shown.
    void TestFinished();

private:
    HealthQuery Entered() const;

    static inline std::atomic<int> s_running{0};

    QString m_section;
    QString m_connectionString;
    ProbeOptions m_options;
    IDialogPrompt* m_prompt;
    QPlainTextEdit* m_query = nullptr;
    QLineEdit* m_expect = nullptr;
    QSpinBox* m_timeout = nullptr;
    QPushButton* m_test = nullptr;
    QLabel* m_result = nullptr;
};
