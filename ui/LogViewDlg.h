#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <thread>

class IDialogPrompt;
class LogWriter;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
struct LogLoadTask;

// "Log": one log file, read on a thread of its own while the window fills and stays usable.
// The loader holds the file exclusively while it reads, so the writer queues its lines as
// missed entries meanwhile. Each showing (exec or show) starts a fresh load; ending the dialog
// stops the loader within one line, and nothing it still sends reaches a viewer that has gone.
class CLogViewDlg : public QDialog {
    Q_OBJECT
public:
    CLogViewDlg(LogWriter& writer, IDialogPrompt& prompt, QWidget* parent = nullptr);
    ~CLogViewDlg() override;

    // Set before the dialog is shown.
    void SetLogPath(const QString& path) { m_logPath = path; }
    QString LogPath() const { return m_logPath; }

    // Set by Refresh: the caller shows the dialog again.
    bool ReopenRequested() const { return m_reopen; }

    // True while the loader runs (from its start until it has closed the file).
    bool IsLoading() const;
    // True while the loader has the file open (readable from any thread, no event loop needed).
    bool LoaderHoldsFile() const;
    // Every line of the current showing's load is in the text control.
    bool IsFullyShown() const { return m_fullyShown; }
    // Lines put into the text control by the current load.
    qsizetype LinesShown() const { return m_linesShown; }

    QPlainTextEdit* TextControl() const { return m_text; }
    QLineEdit* PathEdit() const { return m_pathEdit; }
    QPushButton* RefreshButton() const { return m_refresh; }
    QPushButton* ClearButton() const { return m_clear; }
    QPushButton* CloseButton() const { return m_close; }

public slots:
    void done(int result) override;
    void Refresh();
    void ClearLog();

signals:
    // A batch of lines went into the text control (the count so far).
    void LinesAdded(qsizetype linesShown);
    // The load ended: every line is shown, or the file could not be opened.
    void LoadFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void StartLoad();
    // Tells the loader to stop and waits up to a second for it; the task is dropped either way.
    void StopLoad();
    void TakeNews(const std::shared_ptr<LogLoadTask>& task);
    void ScheduleDrain(const std::shared_ptr<LogLoadTask>& task);

    LogWriter& m_writer;
    IDialogPrompt& m_prompt;
    QString m_logPath;
    bool m_reopen = false;
    bool m_fullyShown = false;
    bool m_drainScheduled = false;
    qsizetype m_linesShown = 0;
    std::shared_ptr<LogLoadTask> m_task;
    std::thread m_loader;

    QPlainTextEdit* m_text = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_clear = nullptr;
    QPushButton* m_close = nullptr;
};
