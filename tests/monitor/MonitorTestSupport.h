#pragma once

#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/MonitorSignals.h"
#include "monitor/PollOutcome.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "platform/Notice.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/TestSupport.h"
#include "tests/probe/ProbeDoubles.h"
#include "ui/SlotPresenter.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

// A window stand-in that keeps every call the presenter and the scheduler make, in order. The
// engine's events are taken (on the calling thread) before the calls are read.
class RecordingView : public ISlotSurface {
public:
    struct Call {
        QString what; // "colour", "sample", "legend", "scale", "text", "tray", "resetGraph", ...
        int slot = -1, field = -1;
        double value = 0, mark = 0;
        QString text;
        QStringList texts;
    };

    void SetLabelColour(int slot, int rgb) override { Add("colour", slot, -1, double(rgb)); }
    void AddGraphSample(int slot, double v, double m) override { Add("sample", slot, -1, v, m); }
    void SetGraphLegend(int slot, const QStringList& t) override {
        Add("legend", slot, -1, 0, 0, {}, t);
    }
    void SetGraphScale(int slot, double scale) override { Add("scale", slot, -1, scale); }
    void SetSlotText(int slot, SlotField f, const QString& t) override {
        Add("text", slot, int(f), 0, 0, t);
    }
    void SetTrayIcon(int icon, const QString& tip) override {
        Add("tray", -1, -1, double(icon), 0, tip);
    }
    void ResetGraph(int slot) override { Add("resetGraph", slot); }
    // Tips are kept apart from the calls: the recorded call sequences predate them.
    void SetSlotTip(int slot, const QString& tip) override {
        std::lock_guard lock(m_mutex);
        m_tips[slot] = tip;
    }
    // Records what the scheduler asks of the window ("captions", "hide", "prompt").
    void Watch(PollScheduler& scheduler) {
        QObject::connect(&scheduler, &PollScheduler::CaptionsChanged,
                         [this](int slot, const QString& group, const QString& button) {
                             Add("captions", slot, -1, 0, 0, {}, {group, button});
                         });
        QObject::connect(&scheduler, &PollScheduler::HideRequested, [this] { Add("hide"); });
        QObject::connect(&scheduler, &PollScheduler::EmailPromptRequested,
                         [this] { Add("prompt"); });
    }

    QList<Call> Calls() const {
        if (presenter)
            presenter->Drain();
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    void Clear() {
        if (presenter)
            presenter->Drain();
        std::lock_guard lock(m_mutex);
        m_calls.clear();
    }
    // The last call of a kind for a slot (and field); a default Call (slot -1) when none.
    Call Last(const char* what, int slot, int field = -1) const;
    QString Text(int slot, SlotField f) const { return Last("text", slot, int(f)).text; }
    int LastColour(int slot) const { return int(Last("colour", slot).value); }
    QStringList Legend(int slot) const { return Last("legend", slot).texts; }
    // The slot's last tip; nothing when none was set.
    std::optional<QString> Tip(int slot) const {
        if (presenter)
            presenter->Drain();
        std::lock_guard lock(m_mutex);
        return m_tips.contains(slot) ? std::optional<QString>(m_tips.value(slot)) : std::nullopt;
    }

    // Shows the engine's events here; set by the rig.
    SlotPresenter* presenter = nullptr;

private:
    void Add(const QString& what, int slot = -1, int field = -1, double value = 0, double mark = 0,
             const QString& text = {}, const QStringList& texts = {}) {
        std::lock_guard lock(m_mutex);
        m_calls << Call{what, slot, field, value, mark, text, texts};
    }
    mutable std::mutex m_mutex;
    QList<Call> m_calls;
    QMap<int, QString> m_tips;
};

// Holds every probe's Connect (through the probe's test hook) until opened; counts the calls
// that entered and the most inside at once. The destructor opens and removes the hook.
struct ConnectGate {
    explicit ConnectGate(SteppedConnector& connector);
    ~ConnectGate();
    bool WaitForEntered(int count, int timeoutMs) {
        return TestSupport::WaitUntil([&] { return entered >= count; }, timeoutMs);
    }
    std::atomic<bool> open{false};
    std::atomic<int> entered{0}, inside{0}, maxInside{0};

private:
    SteppedConnector& m_connector;
};

// The real parts a poll works with: log files in a temp folder, a log writer, an SMTP client,
// a recording view and a monitor whose presenter shows the tray's frames without pauses.
struct MonitorRig {
    MonitorRig();
    ~MonitorRig();

    QString dir = TestSupport::MakeTempDir(QStringLiteral("monitor"));
    QString accessLog = dir + "/access.log", errorLog = dir + "/error.log";
    RecordingNotice notice;
    RecordingView view;
    std::shared_ptr<LogWriter> log = std::make_shared<LogWriter>(&notice);
    std::shared_ptr<SmtpClient> smtp = std::make_shared<SmtpClient>(&notice);
    // Every probe of the rig's monitor connects through it.
    std::shared_ptr<SteppedConnector> connector = std::make_shared<SteppedConnector>();
    // The engine's time units for the next Restart (its probes always get the connector).
    MonitorOptions options;
    std::unique_ptr<SlotMonitor> monitor;
    std::unique_ptr<SlotPresenter> presenter;
    QList<PollEnded> ends;

    // A new monitor on the same settings, view, log writer, client and options (a restart).
    void Restart();
    // E-mail set up with the server "127.0.0.1:port" (also written as the "SMTP" setting, which
    // the client reads), or not set up for port 0.
    void SetUpEmail(int port);
    // A scheduler on the monitor whose requests to the window the view records.
    std::unique_ptr<PollScheduler> MakeScheduler() {
        auto scheduler = std::make_unique<PollScheduler>(monitor.get());
        view.Watch(*scheduler);
        return scheduler;
    }
    // Every poll end the monitor handed over since the last Restart, oldest first (takes what
    // is queued first).
    QList<PollEnded> Ends();
    // The slot's database, stored and restored as at start-up.
    void StoreSlot(int slot, const QString& connectionString, const QString& title);

    // The log's lines without their "<date time> " prefix.
    QStringList AccessLines() const { return LogMessages(accessLog); }
    QStringList ErrorLines() const { return LogMessages(errorLog); }
    static QStringList LogMessages(const QString& path);
};

inline constexpr char kSender[] = "monitor@example.test";
inline constexpr char kAlertTo[] = "alerts@example.test";
inline constexpr char kRecoveryTo[] = "recovery@example.test";

using TestSupport::WaitUntil;

// True when text is a time stamp " on MM/DD/YYYY at HH:MM:SS".
bool IsStamp(const QString& text);
