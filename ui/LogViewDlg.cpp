#include "ui/LogViewDlg.h"

#include "platform/LogFile.h"
#include "log/LogWriter.h"
#include "ui/DialogPrompt.h"
#include "ui/LogLinesView.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>

namespace {

// The end of the file read first, so that the newest lines show at once however long the log.
constexpr qint64 kTailBytes = 64 * 1024;
// The loader reads in pieces of this size and looks at its stop flag between them.
constexpr qint64 kReadBytes = 4 * 1024 * 1024;
// Appended bytes are read on the UI thread, this much at a time between events.
constexpr qint64 kAppendBytes = 1024 * 1024;
// The end of what was read before must still be in the file, or the log was cleared and written
// again past its old size while nobody looked.
constexpr qint64 kCheckBytes = 64;
// Writers touch the file in bursts; one look after a burst is enough.
constexpr int kTailDelayMs = 20;
// A log that is missing or held by another program is looked for again this often.
constexpr int kRetryMs = 1000;
// Ending the viewer waits this long for the loader, as ten looks 100 ms apart would.
constexpr auto kStopWait = std::chrono::milliseconds(1000);

} // namespace

// What the loader shares with the viewer. The loader owns a reference of its own, so a viewer
// that ends before the loader does leaves nothing behind for it to touch.
struct LogLoadTask {
    QString path;
    std::mutex* writerLock = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<bool> loading{true};

    std::mutex mutex;
    std::condition_variable changed;
    // Posts "news" to the viewer; called only under mutex and only while attached.
    std::function<void()> post;
    bool attached = false;
    bool newsPending = false;
    // What the loader found, kept under mutex until the viewer takes it.
    bool openFailed = false;
    bool done = false;
    QString fullPath;
    std::optional<LogLines> tail;
    LogLines lines;
    LogFileStat stat;

    // Caller holds mutex.
    void Notify() {
        if (attached && !newsPending) {
            newsPending = true;
            post();
        }
    }
};

// The loading task: opens the log exclusively (under the writers' lock, so that it never cuts
// into a line being written), hands over the lines of its last piece, then indexes the whole
// file and lets it go. Writers meanwhile find the file held and queue their lines.
static void LoadLogFile(std::shared_ptr<LogLoadTask> task) {
    LogFile file;
    bool opened;
    {
        std::lock_guard writers(*task->writerLock);
        opened = file.Open(task->path, LogFile::Mode::Read);
    }
    LogFileStat stat;
    opened = opened && StatLogFile(file, &stat);
    {
        std::lock_guard guard(task->mutex);
        task->openFailed = !opened;
        if (opened)
            task->fullPath = file.FullPath();
        task->Notify();
    }
    LogLines lines;
    if (opened) {
        QByteArray piece;
        qsizetype expectedLines = 0;
        if (stat.size > kTailBytes &&
            ReadLogBytes(file, stat.size - kTailBytes, kTailBytes, &piece)) {
            LogLines tail = LogLines::FromTail(piece, false);
            // Lines like the last ones, with a tenth to spare.
            if (tail.Count() > 0)
                expectedLines = stat.size / (tail.Size() / tail.Count() + 1) * 11 / 10;
            std::lock_guard guard(task->mutex);
            task->tail = std::move(tail);
            task->Notify();
        }
        try {
            lines.Reserve(stat.size, expectedLines);
            while (!task->stop && ReadLogBytes(file, lines.Size(), kReadBytes, &piece) &&
                   !piece.isEmpty())
                lines.Append(piece);
        } catch (const std::bad_alloc&) {
            // A log larger than the memory left is reported like one that cannot be opened.
            opened = false;
            lines.Clear();
        }
        stat.size = lines.Size();
        file.Close();
    }
    {
        std::lock_guard guard(task->mutex);
        task->lines = std::move(lines);
        task->stat = stat;
        task->openFailed = !opened;
        task->done = opened && !task->stop;
        task->loading = false;
        task->Notify();
    }
    task->changed.notify_all();
}

CLogViewDlg::CLogViewDlg(LogWriter& writer, IDialogPrompt& prompt, QWidget* parent)
    : QDialog(parent), m_writer(writer), m_prompt(prompt) {
    setWindowTitle(QStringLiteral("Log"));

    m_view = new LogLinesView;
    m_view->setObjectName(QStringLiteral("logText"));

    m_findEdit = new QLineEdit;
    m_findEdit->installEventFilter(this);
    m_matchCase = new QCheckBox(QStringLiteral("Match case"));
    m_findStatus = new QLabel;
    m_findBar = new QWidget;
    auto* findRow = new QHBoxLayout(m_findBar);
    findRow->setContentsMargins(0, 0, 0, 0);
    findRow->addWidget(new QLabel(QStringLiteral("Find:")));
    findRow->addWidget(m_findEdit, 1);
    findRow->addWidget(m_matchCase);
    findRow->addWidget(m_findStatus);
    m_findBar->hide();
    connect(m_findEdit, &QLineEdit::textEdited, m_findStatus, &QLabel::clear);
    new QShortcut(QKeySequence::Find, this, this, &CLogViewDlg::OpenFindBar);
    new QShortcut(QKeySequence(Qt::Key_F3), this, this, &CLogViewDlg::FindNext);
    new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this, this, &CLogViewDlg::FindPrevious);

    m_pathEdit = new QLineEdit;
    m_pathEdit->setObjectName(QStringLiteral("currentLogFile"));
    m_pathEdit->setReadOnly(true);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(QStringLiteral("Current log file:")));
    pathRow->addWidget(m_pathEdit, 1);

    m_refresh = new QPushButton(QStringLiteral("Refresh"));
    m_refresh->setAutoDefault(false);
    m_clear = new QPushButton(QStringLiteral("Clear Log"));
    m_clear->setAutoDefault(false);
    m_follow = new QCheckBox(QStringLiteral("Follow"));
    m_follow->setChecked(true);
    m_close = new QPushButton(QStringLiteral("Close"));
    m_close->setDefault(true);
    connect(m_refresh, &QPushButton::clicked, this, &CLogViewDlg::Refresh);
    connect(m_clear, &QPushButton::clicked, this, &CLogViewDlg::ClearLog);
    connect(m_close, &QPushButton::clicked, this, &CLogViewDlg::accept);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(m_refresh);
    buttonRow->addWidget(m_clear);
    buttonRow->addWidget(m_follow);
    buttonRow->addStretch(1);
    buttonRow->addWidget(m_close);

    // Follow is on exactly while the view is at the end: scrolling away stops it, coming back to
    // the end (or ticking it) starts it again.
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { m_follow->setChecked(m_view->AtEnd()); });
    connect(m_follow, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            m_view->ScrollToEnd();
    });
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this,
            [this] { ScheduleTail(kTailDelayMs); });
    m_tailTimer = new QTimer(this);
    m_tailTimer->setSingleShot(true);
    connect(m_tailTimer, &QTimer::timeout, this, &CLogViewDlg::ReadTail);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_findBar);
    layout->addLayout(pathRow);
    layout->addLayout(buttonRow);
    resize(720, 480);
}

CLogViewDlg::~CLogViewDlg() {
    StopLoad();
}

bool CLogViewDlg::IsLoading() const {
    return m_task && m_task->loading;
}

void CLogViewDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window the desktop merely restores keeps its load; a new showing starts one.
    if (event->spontaneous() || m_started)
        return;
    m_started = true;
    m_reopen = false;
    m_view->setFocus(Qt::OtherFocusReason);
    StartLoad();
}

void CLogViewDlg::StartLoad() {
    StopLoad();
    CancelFind();
    m_tailTimer->stop();
    m_loaded = false;
    m_tracking = false;

    auto task = std::make_shared<LogLoadTask>();
    task->path = m_logPath;
    task->writerLock = &m_writer.Lock();
    const std::weak_ptr<LogLoadTask> weak = task;
    // Runs on the loader's thread while the viewer is alive (StopLoad detaches under the mutex
    // first); a call still queued when the viewer is destroyed is dropped by Qt with it.
    task->post = [this, weak] {
        QMetaObject::invokeMethod(
            this,
            [this, weak] {
                if (auto news = weak.lock())
                    TakeNews(news);
            },
            Qt::QueuedConnection);
    };
    task->attached = true;
    m_task = task;
    m_loader = std::thread(LoadLogFile, std::move(task));
}

void CLogViewDlg::StopLoad() {
    if (!m_task)
        return;
    const std::shared_ptr<LogLoadTask> task = std::move(m_task);
    m_task.reset();
    bool stopped;
    {
        std::unique_lock guard(task->mutex);
        task->attached = false;
        task->stop = true;
        stopped = task->changed.wait_for(guard, kStopWait, [&] { return !task->loading; });
    }
    if (m_loader.joinable()) {
        // A loader stuck in a read past the wait keeps only its own reference to the task.
        if (stopped)
            m_loader.join();
        else
            m_loader.detach();
    }
}

void CLogViewDlg::TakeNews(const std::shared_ptr<LogLoadTask>& task) {
    if (task != m_task)
        return; // a load that has been stopped or replaced
    bool openFailed;
    bool done;
    QString fullPath;
    std::optional<LogLines> tail;
    LogLines lines;
    LogFileStat stat;
    {
        std::lock_guard guard(task->mutex);
        task->newsPending = false;
        openFailed = task->openFailed && !task->loading;
        done = task->done;
        fullPath = task->fullPath;
        tail.swap(task->tail);
        if (done) {
            lines = std::move(task->lines);
            stat = task->stat;
        }
    }
    if (openFailed) {
        StopLoad();
        m_lines.Clear();
        m_lines.Append((QStringLiteral("Could not open log '") + m_logPath + u'\'').toUtf8());
        m_pathEdit->clear();
        ShowLines(&m_lines, -1);
        m_loaded = true;
        emit LoadFinished();
        return;
    }
    if (!fullPath.isEmpty() && m_pathEdit->text() != fullPath)
        m_pathEdit->setText(fullPath);
    if (tail && !done) {
        m_tail = std::move(*tail);
        m_showingTail = true;
        ShowLines(&m_tail, -1);
    }
    if (!done)
        return;
    StopLoad(); // the loader has finished; this only joins it
    m_lines = std::move(lines);
    // The last lines on screen are the whole log's last lines: keep the place and selection.
    const qsizetype shift = m_showingTail ? m_lines.Count() - m_tail.Count() : -1;
    m_showingTail = false;
    ShowLines(&m_lines, shift);
    m_tail.Clear();
    m_indexed = stat;
    m_indexedKnown = true;
    m_tracking = true;
    m_loaded = true;
    if (!m_watcher->files().contains(m_logPath))
        m_watcher->addPath(m_logPath);
    emit LoadFinished();
    ScheduleTail(0); // anything written since the loader let go
}

void CLogViewDlg::ShowLines(const LogLines* lines, qsizetype shift) {
    // A find runs over the lines it started on: start it again on the new ones.
    const std::optional<bool> findForward =
        m_find ? std::optional<bool>(m_findForward) : std::nullopt;
    CancelFind();
    m_view->SetLines(lines, shift);
    // Other content opens at its end, where Follow is on.
    if (shift < 0)
        m_follow->setChecked(true);
    emit LinesAdded(lines->Count());
    if (findForward)
        StartFind(*findForward);
}

void CLogViewDlg::ScheduleTail(int delayMs) {
    if (m_tracking && !m_tailTimer->isActive())
        m_tailTimer->start(delayMs);
}

void CLogViewDlg::ReadTail() {
    if (!m_tracking)
        return;
    LogFileStat now;
    QByteArray bytes;
    bool opened;
    bool restart = false;
    const qint64 known = m_indexed.size;
    {
        // Under the writers' lock, so that following never turns a writer's line into a missed
        // entry; the file is closed again before the lock is released.
        std::lock_guard writers(m_writer.Lock());
        LogFile file;
        opened = file.Open(m_logPath, LogFile::Mode::Read) && StatLogFile(file, &now);
        if (opened && m_indexedKnown &&
            (now.device != m_indexed.device || now.inode != m_indexed.inode || now.size < known)) {
            restart = true;
        } else if (opened && now.size > known) {
            const qint64 check = std::min(kCheckBytes, known);
            opened = ReadLogBytes(file, known - check,
                                  check + std::min(now.size - known, kAppendBytes), &bytes);
            if (opened && (bytes.size() < check ||
                           QByteArrayView(bytes).first(check) != m_lines.Bytes().last(check)))
                restart = true;
            bytes.remove(0, check);
        }
    }
    if (!opened) {
        // Gone for now, or held by another opener: look again later.
        ScheduleTail(kRetryMs);
        return;
    }
    if (restart) {
        StartLoad();
        return;
    }
    m_indexed = {known + bytes.size(), now.device, now.inode};
    m_indexedKnown = true;
    if (bytes.isEmpty())
        return;
    m_lines.Append(bytes);
    m_view->LinesAppended(m_follow->isChecked());
    emit LinesAdded(m_lines.Count());
    if (m_indexed.size < now.size)
        ScheduleTail(0);
}

void CLogViewDlg::done(int result) {
    StopLoad();
    CancelFind();
    m_tailTimer->stop();
    m_tracking = false;
    m_started = false;
    QDialog::done(result);
}

void CLogViewDlg::Refresh() {
    m_reopen = true;
    done(QDialog::Accepted);
}

void CLogViewDlg::ClearLog() {
    if (!m_prompt.Ask(this, QStringLiteral("The log will be permanently deleted, Continue?")))
        return;
    bool cleared;
    {
        // Waits for a writer in the middle of a line; the loader's hold makes it fail at once.
        std::lock_guard writers(m_writer.Lock());
        cleared = ClearLogFile(m_logPath);
    }
    if (!cleared) {
        m_prompt.Tell(this, QStringLiteral("Could not clear log file'") + m_logPath + u'\'');
        return;
    }
    // The loader had let go of the file, or the clear would have failed. The log starts over:
    // whatever is written from now on is followed from its first byte.
    StopLoad();
    m_lines.Clear();
    m_tail.Clear();
    m_showingTail = false;
    ShowLines(&m_lines, -1);
    m_indexed = {};
    m_indexedKnown = false;
    m_tracking = true;
    m_loaded = true;
    if (!m_watcher->files().contains(m_logPath))
        m_watcher->addPath(m_logPath);
    ScheduleTail(0);
}
