#pragma once

#include "log/LogLines.h"

#include <QDialog>
#include <QString>

#include <memory>
#include <optional>
#include <thread>

class IDialogPrompt;
class LogLinesView;
class LogWriter;
class QCheckBox;
class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QWidget;
struct LogLoadTask;

// "Log": one log file, opened at its newest lines. A thread of its own reads the file (holding it
// exclusively, so the writer queues its lines meanwhile) and records where each line starts; the
// view paints only the lines on screen. The last lines show first, and the whole log is
// scrollable once the index is built. Afterwards the viewer watches the file and indexes only
// what the writers append; a file that shrank or was replaced is read again from the start.
// Ctrl+F opens the find bar (F3, Shift+F3, Enter); a find runs in slices between events.
// Each showing (exec or show) starts a fresh load; ending the dialog stops the loader, and
// nothing it still sends reaches a viewer that has gone.
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
    // The whole file is indexed (or found unopenable); appended lines follow on their own.
    bool IsLoaded() const { return m_loaded; }
    bool IsSearching() const { return m_find.has_value(); }

    LogLinesView* View() const { return m_view; }
    QLineEdit* PathEdit() const { return m_pathEdit; }
    QCheckBox* FollowBox() const { return m_follow; }
    QWidget* FindBar() const { return m_findBar; }
    QLineEdit* FindEdit() const { return m_findEdit; }
    QCheckBox* MatchCaseBox() const { return m_matchCase; }
    QLabel* FindStatus() const { return m_findStatus; }
    QPushButton* RefreshButton() const { return m_refresh; }
    QPushButton* ClearButton() const { return m_clear; }
    QPushButton* CloseButton() const { return m_close; }

public slots:
    void done(int result) override;
    void Refresh();
    void ClearLog();
    void OpenFindBar();
    void FindNext() { StartFind(true); }
    void FindPrevious() { StartFind(false); }

signals:
    // The view got lines (the last ones first, then the whole log, then appended ones).
    void LinesAdded(qsizetype lineCount);
    // The whole file is indexed, or it could not be opened.
    void LoadFinished();
    // A find ended: the match is selected, or "Not found" is shown.
    void FindFinished(bool found);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StartLoad();
    // Tells the loader to stop and waits up to a second for it; the task is dropped either way.
    void StopLoad();
    void TakeNews(const std::shared_ptr<LogLoadTask>& task);
    void ShowLines(const LogLines* lines, qsizetype shift);
    void ScheduleTail(int delayMs);
    void ReadTail();
    void StartFind(bool forward);
    void RunFind(quint64 generation);
    void CancelFind();

    LogWriter& m_writer;
    IDialogPrompt& m_prompt;
    QString m_logPath;
    bool m_reopen = false;
    // This showing has started its load.
    bool m_started = false;
    bool m_loaded = false;
    // The view shows the file and follows what is appended to it.
    bool m_tracking = false;
    std::shared_ptr<LogLoadTask> m_task;
    std::thread m_loader;

    // What the view shows: the last lines while the loader indexes, then the whole log.
    LogLines m_tail;
    LogLines m_lines;
    bool m_showingTail = false;
    // The file as far as m_lines holds it; unknown right after a Clear Log.
    LogFileStat m_indexed;
    bool m_indexedKnown = false;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_tailTimer = nullptr;

    std::optional<LogFind> m_find;
    bool m_findForward = true;
    quint64 m_findGeneration = 0;

    LogLinesView* m_view = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    QCheckBox* m_follow = nullptr;
    QWidget* m_findBar = nullptr;
    QLineEdit* m_findEdit = nullptr;
    QCheckBox* m_matchCase = nullptr;
    QLabel* m_findStatus = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_clear = nullptr;
    QPushButton* m_close = nullptr;
};
