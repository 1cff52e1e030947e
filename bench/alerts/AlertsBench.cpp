// A compressed day: one minute of interval is 100 ms. The real scheduler polls a PostgreSQL
// server through a loopback relay while the day's script cuts it: 20 one-poll blips, 3 outages
// of 10 polls, one sleep and one offline spell. Mails go to a real SMTP server; each arrival is
// timed. Run with ConfirmPolls=3 (and ConfirmSeconds scaled alike) and, as today's behaviour,
// with ConfirmPolls=1 and no knowledge of sleep or network.
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/ComputerState.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "settings/EmailSettings.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/TcpRelay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kMinuteMs = 100;
constexpr int kConfirmSeconds = 30; // 50 ms here

enum class Kind { Up, Blip, Outage, Sleep, Offline };

// The day as runs of polls, each run's network state applied as the poll before it ends.
std::vector<Kind> Script() {
    std::vector<Kind> polls(5, Kind::Up);
    const auto add = [&](Kind kind, int count) { polls.insert(polls.end(), count, kind); };
    for (int blip = 1; blip <= 20; ++blip) {
        add(Kind::Blip, 1);
        add(Kind::Up, 4);
        if (blip % 6 == 0)
            add(Kind::Outage, 10), add(Kind::Up, 4);
        if (blip == 8)
            add(Kind::Sleep, 1), add(Kind::Up, 4);
        if (blip == 14)
            add(Kind::Offline, 5), add(Kind::Up, 4);
    }
    return polls;
}

struct Figures {
    int realAlerts = 0;
    int outages = 0;
    int falseAlerts = 0;
    int recoveries = 0;
    std::vector<qint64> delays; // from the outage's start to its alert, ms
    qint64 boundMs = 0;
};

Figures RunDay(DbServer& db, SmtpSink& sink, bool confirming) {
    QFile::remove(SettingsStore::FilePath());
    TcpRelay relay(db.Port());
    relay.Start();
    // A data source of its own per run: unixODBC may hold on to a source's old settings.
    const QString dsn = confirming ? QStringLiteral("Confirming") : QStringLiteral("Today");
    OdbcTestEnv::AddDsn(dsn, db.Driver(),
                        {{"Servername", "127.0.0.1"},
                         {"Port", QString::number(relay.Port())},
                         {"Database", db.Database()}});
    const int confirmPolls = confirming ? 3 : 1;
    Config::Write(Config::kConfirmPolls, confirmPolls);
    Config::Write(Config::kConfirmSeconds, kConfirmSeconds);
    Config::Write(Config::kLastDatabase[0],
                  QStringLiteral("DSN=%1;UID=%2;PWD=%3").arg(dsn, db.User(), db.Password()));
    Config::Write(Config::kLastDatabaseTitle[0], QStringLiteral("Day"));

    auto computer = std::make_shared<ComputerState>();
    MonitorOptions options;
    options.minuteMs = kMinuteMs;
    options.earlyMs = 0;
    if (confirming)
        options.computer = computer;
    auto smtp = std::make_shared<SmtpClient>(nullptr);
    SlotMonitor monitor(std::make_shared<LogWriter>(nullptr), smtp, options);
    EmailSettings email;
    email.server = QStringLiteral("127.0.0.1:%1").arg(sink.Port());
    email.returnAddress = QStringLiteral("bench@example.test");
    email.alertRecipient = email.recoveryRecipient = QStringLiteral("me@example.test");
    Config::Write(Config::kSmtpServer, email.server); // the client reads the server from here
    monitor.SetEmailSettings(email);
    monitor.RestoreSlots();
    monitor.SetInterval(0, 1);
    PollScheduler scheduler(&monitor);

    const std::vector<Kind> script = Script();
    const int before = int(sink.Messages().size());
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<qint64, qint64>> outages; // cut and mend times
    size_t next = 0;
    QEventLoop day;
    // Set the network for the next poll as this one ends; an outage starts between polls.
    const auto apply = [&](Kind kind, Kind previous) {
        const bool down = kind != Kind::Up;
        if (down && !(kind == Kind::Outage && previous == Kind::Outage))
            relay.Cut();
        if (!down)
            relay.Mend();
        if (kind == Kind::Outage && previous != Kind::Outage)
            outages.push_back({clock.elapsed(), -1});
        if (kind != Kind::Outage && previous == Kind::Outage)
            outages.back().second = clock.elapsed();
        computer->sleeping = kind == Kind::Sleep;
        computer->reach = kind == Kind::Offline ? ComputerState::Offline : ComputerState::Online;
    };
    QObject::connect(&scheduler, &PollScheduler::PollEnded, [&](int) {
        const Kind previous = next < script.size() ? script[next] : Kind::Up;
        if (++next >= script.size()) {
            day.quit();
            return;
        }
        apply(script[next], previous);
    });
    std::vector<std::pair<qint64, QString>> mails; // arrival time and subject
    const auto collect = [&] {
        const QList<SmtpSink::Message> all = sink.Messages();
        for (qsizetype i = before + qsizetype(mails.size()); i < all.size(); ++i)
            mails.push_back({clock.elapsed(), all[i].Subject()});
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, collect);
    watch.start(2);
    apply(script[0], Kind::Up);
    scheduler.PollNow(0);
    day.exec();
    scheduler.Shutdown(5000);
    sink.WaitForMessages(before + int(mails.size()) + 1, 500); // a last one still on its way
    collect();

    Figures f;
    f.outages = int(outages.size());
    f.boundMs = kMinuteMs + qint64(confirmPolls - 1) * kConfirmSeconds * kMinuteMs / 60;
    std::vector<bool> alerted(outages.size(), false);
    for (const auto& [at, subject] : mails) {
        if (subject.startsWith(QStringLiteral("Recovery"))) {
            ++f.recoveries;
            continue;
        }
        // A real alert comes during its outage (or as the poll that ends it runs); a second
        // one for the same outage is as false as one with no outage at all.
        bool real = false;
        for (size_t k = 0; k < outages.size() && !real; ++k) {
            const auto [cut, mend] = outages[k];
            if (!alerted[k] && at >= cut && (mend < 0 || at <= mend + kMinuteMs)) {
                alerted[k] = real = true;
                f.delays.push_back(at - cut);
            }
        }
        real ? ++f.realAlerts : ++f.falseAlerts;
    }
    return f;
}

QString Delays(const Figures& f) {
    QStringList parts;
    for (qint64 d : f.delays)
        parts << QString::number(d);
    return parts.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    OdbcTestEnv::Install();
    DbServer db(DbServer::Kind::Postgres);
    SmtpSink sink;
    if (!db.Start() || !sink.Start()) {
        std::printf("set-up failed\n");
        return 1;
    }
    const Figures confirmed = RunDay(db, sink, true);
    const Figures today = RunDay(db, sink, false);
    std::printf("A day at 1 min = %d ms: 20 blips, 3 outages of 10 polls, a sleep, an offline "
                "spell\n",
                kMinuteMs);
    std::printf("%-34s %18s %18s\n", "", "ConfirmPolls=3", "today (1, unaware)");
    std::printf("%-34s %15d/%d %15d/%d\n", "alerts for real outages (goal 3/3)",
                confirmed.realAlerts, confirmed.outages, today.realAlerts, today.outages);
    std::printf("%-34s %18d %18d\n", "false alerts (goal 0)", confirmed.falseAlerts,
                today.falseAlerts);
    std::printf("%-34s %18d %18d\n", "recoveries (goal 3)", confirmed.recoveries, today.recoveries);
    std::printf("%-34s %18lld %18lld\n", "alert delay bound, ms", confirmed.boundMs, today.boundMs);
    std::printf("alert delays, ms: confirmed [%s], today [%s]\n", qPrintable(Delays(confirmed)),
                qPrintable(Delays(today)));
    // The bound counts the pauses; each of the confirming polls and the mail take time of their
    // own on top (a refused connection and an SMTP exchange, some 10 ms each here).
    const qint64 ownTimeMs = 3 * 25;
    bool withinBound = confirmed.delays.size() == 3;
    for (qint64 d : confirmed.delays)
        withinBound = withinBound && d <= confirmed.boundMs + ownTimeMs;
    std::printf("delays within bound + %lld ms of the polls' own time: %s\n", ownTimeMs,
                withinBound ? "yes" : "no");
    const bool ok = confirmed.realAlerts == 3 && confirmed.falseAlerts == 0 &&
                    confirmed.recoveries == 3 && withinBound;
    std::printf("%s\n", ok ? "goals met" : "goals NOT met");
    return ok ? 0 : 1;
}
