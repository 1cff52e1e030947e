#include "ui/LogViewDlg.h"

#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "ui/DialogPrompt.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace {

// Lines the loader gathers before handing them over, and how far it may run ahead of the text
// control: enough to keep the UI thread busy, little enough that a year of polls never sits in
// memory twice and that a stop is seen at once.
constexpr qsizetype kHandOverLines = 1024;
constexpr size_t kMaxWaitingLines = 64 * 1024;
// The UI thread appends in chunks and gives the event loop back after this much work, so a
// million-line log never stalls the window for longer than about one chunk beyond it.
constexpr qsizetype kChunkLines = 512;
constexpr qint64 kDrainBudgetMs = 8;
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
    std::atomic<bool> holdsFile{false};

    std::mutex mutex;
    std::condition_variable changed;
    // Posts "news" to the viewer; called only under mutex and only while attached.
    std::function<void()> post;
    bool attached = false;
    bool newsPending = false;
    bool openFailed = false;
    bool readDone = false;
    QString fullPath;
    std::deque<QString> lines;

    // Caller holds mutex.
    void Notify() {
        if (attached && !newsPending) {
            newsPending = true;
            post();
        }
    }

    // Waits while the viewer is far behind; false when told to stop.
    bool HandOver(QStringList& batch) {
        std::unique_lock guard(mutex);
        changed.wait(guard, [this] { return stop.load() || lines.size() < kMaxWaitingLines; });
        if (stop)
            return false;
        for (QString& line : batch)
            lines.push_back(std::move(line));
        batch.clear();
        Notify();
        return true;
    }
};

// The loading task: opens the log exclusively (under the writers' lock, so that it never cuts
// into a line being written) and hands its lines over in batches until the end of the file or
// until told to stop, which it looks at before every line.
static void LoadLogFile(std::shared_ptr<LogLoadTask> task) {
    LogFile file;
    bool opened;
    {
        std::lock_guard writers(*task->writerLock);
        opened = file.Open(task->path, LogFile::Mode::Read);
    }
    {
        std::lock_guard guard(task->mutex);
        task->holdsFile = opened;
        task->openFailed = !opened;
        if (opened)
            task->fullPath = file.FullPath();
        task->Notify();
    }
    if (opened) {
        QStringList batch;
        batch.reserve(kHandOverLines);
        QString line;
        bool more = true;
        while (more && !task->stop) {
            more = file.ReadLine(&line);
            if (more)
                batch.append(std::move(line));
            if ((batch.size() >= kHandOverLines || (!more && !batch.isEmpty())) &&
                !task->HandOver(batch))
                break;
        }
        file.Close();
    }
    {
        std::lock_guard guard(task->mutex);
        task->holdsFile = false;
        task->readDone = !task->stop;
        task->loading = false;
        task->Notify();
    }
    task->changed.notify_all();
}

CLogViewDlg::CLogViewDlg(LogWriter& writer, IDialogPrompt& prompt, QWidget* parent)
    : QDialog(parent), m_writer(writer), m_prompt(prompt) {
    setWindowTitle(QStringLiteral("Log"));

    m_text = new QPlainTextEdit;
    m_text->setObjectName(QStringLiteral("logText"));
    m_text->setReadOnly(true);
    m_text->setUndoRedoEnabled(false);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

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
    m_close = new QPushButton(QStringLiteral("Close"));
    m_close->setDefault(true);
    connect(m_refresh, &QPushButton::clicked, this, &CLogViewDlg::Refresh);
    connect(m_clear, &QPushButton::clicked, this, &CLogViewDlg::ClearLog);
    connect(m_close, &QPushButton::clicked, this, &CLogViewDlg::accept);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(m_refresh);
    buttonRow->addWidget(m_clear);
    buttonRow->addStretch(1);
    buttonRow->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text, 1);
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

bool CLogViewDlg::LoaderHoldsFile() const {
    return m_task && m_task->holdsFile;
}

void CLogViewDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window the desktop merely restores keeps its load; a new showing starts one.
    if (event->spontaneous() || m_task)
        return;
    m_reopen = false;
    m_text->setFocus(Qt::OtherFocusReason);
    StartLoad();
}

void CLogViewDlg::StartLoad() {
    StopLoad();
    m_text->clear();
    m_pathEdit->clear();
    m_linesShown = 0;
    m_fullyShown = false;
    m_drainScheduled = false;

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
        task->lines.clear();
        task->changed.notify_all();
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

void CLogViewDlg::ScheduleDrain(const std::shared_ptr<LogLoadTask>& task) {
    const std::weak_ptr<LogLoadTask> weak = task;
    QTimer::singleShot(0, this, [this, weak] {
        if (auto news = weak.lock())
            TakeNews(news);
    });
}

void CLogViewDlg::TakeNews(const std::shared_ptr<LogLoadTask>& task) {
    if (task != m_task)
        return; // a load that has been stopped or replaced
    QElapsedTimer spent;
    spent.start();

    bool openFailed;
    QString fullPath;
    {
        std::lock_guard guard(task->mutex);
        openFailed = task->openFailed;
        fullPath = task->fullPath;
    }
    if (openFailed) {
        {
            std::lock_guard guard(task->mutex);
            task->newsPending = false;
        }
        m_text->setPlainText(QStringLiteral("Could not open log '") + m_logPath + u'\'');
        m_fullyShown = true;
        emit LoadFinished();
        return;
    }
    if (m_pathEdit->text().isEmpty() && !fullPath.isEmpty())
        m_pathEdit->setText(fullPath);

    QTextCursor cursor(m_text->document());
    cursor.movePosition(QTextCursor::End);
    const qsizetype before = m_linesShown;
    while (spent.elapsed() < kDrainBudgetMs) {
        QStringList chunk;
        {
            std::lock_guard guard(task->mutex);
            const qsizetype take = std::min<qsizetype>(kChunkLines, task->lines.size());
            chunk.reserve(take);
            for (qsizetype i = 0; i < take; ++i) {
                chunk.append(std::move(task->lines.front()));
                task->lines.pop_front();
            }
        }
        if (chunk.isEmpty())
            break;
        task->changed.notify_all();
        QString text = chunk.join(u'\n');
        if (m_linesShown > 0)
            text.prepend(u'\n');
        cursor.insertText(text);
        m_linesShown += chunk.size();
    }

    bool finished = false;
    {
        std::lock_guard guard(task->mutex);
        if (!task->lines.empty()) {
            // More is waiting: come back after the events that queued up meanwhile.
            ScheduleDrain(task);
        } else {
            task->newsPending = false;
            finished = task->readDone && !m_fullyShown;
        }
    }
    if (m_linesShown != before)
        emit LinesAdded(m_linesShown);
    if (finished && task == m_task) {
        m_fullyShown = true;
        emit LoadFinished();
    }
}

void CLogViewDlg::done(int result) {
    StopLoad();
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
    // The loader had let go of the file, or the clear would have failed: what it has not shown
    // yet is gone from the file too.
    StopLoad();
    m_text->clear();
    m_linesShown = 0;
    m_fullyShown = true;
}
