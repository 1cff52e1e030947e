// Two running copies of the program on one settings file: each alert and recovery is mailed
// once, whichever copy sends it, and both copies show what the store holds. The copies are this
// test program started twice more, each running the disabled test below as its whole life.
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <gtest/gtest.h>

#include <array>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

// The parent hands the copies their settings folder, the mail server's port and a folder where
// it announces each poll round ("round-N") and each copy answers with its texts ("done-N-copy").
constexpr char kConfigVar[] = "TRELLION_COPY_CONFIG";
constexpr char kSyncVar[] = "TRELLION_COPY_SYNC";
constexpr char kPortVar[] = "TRELLION_COPY_SMTP";
constexpr char kIndexVar[] = "TRELLION_COPY_INDEX";
constexpr char kTitle[] = "Shared";

QString RoundFile(const QString& sync, int round) {
    return sync + QStringLiteral("/round-%1").arg(round);
}

QString DoneFile(const QString& sync, int round, int copy) {
    return sync + QStringLiteral("/done-%1-%2").arg(round).arg(copy);
}

void WriteAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    ASSERT_TRUE(file.commit());
}

// One copy: its own log files and window stand-in, the shared store and mail server. Polls its
// slot once per round the parent announces, as soon as it sees the announcement, so that both
// copies reach the alert step together; ends at the round file "end".
TEST(TwoCopiesTest, DISABLED_ARunningCopy) {
    const QString config = qEnvironmentVariable(kConfigVar);
    const QString sync = qEnvironmentVariable(kSyncVar);
    const int copy = qEnvironmentVariableIntValue(kIndexVar);
    ASSERT_FALSE(config.isEmpty() || sync.isEmpty()) << "started by the two-copies test only";
    // Before the first use of the store in this process.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    OdbcTestEnv::Install();

    const QString dir = TestSupport::MakeTempDir(QStringLiteral("copy"));
    RecordingNotice notice;
    auto log = std::make_shared<LogWriter>(&notice);
    log->SetSettings(LogSettings{dir + "/access.log", dir + "/error.log", true, true});
    auto smtp = std::make_shared<SmtpClient>(&notice);
    smtp->SetTimeouts(10000, 10000);
    EmailSettings email;
    email.returnAddress = QString::fromLatin1(kSender);
    email.alertRecipient = QString::fromLatin1(kAlertTo);
    email.recoveryRecipient = QString::fromLatin1(kRecoveryTo);
    email.server = QStringLiteral("127.0.0.1:") + qEnvironmentVariable(kPortVar);
    {
        SlotMonitor monitor(log, smtp);
        monitor.SetNotice(&notice);
        monitor.SetEmailSettings(email);
        monitor.LoadIntervalsAndThresholds();
        monitor.RestoreSlots();
        ASSERT_EQ(monitor.Title(0), kTitle);
        for (int round = 1;; ++round) {
            ASSERT_TRUE(WaitUntil(
                [&] {
                    return QFile::exists(RoundFile(sync, round)) || QFile::exists(sync + "/end");
                },
                120000));
            if (!QFile::exists(RoundFile(sync, round)))
                break;
            monitor.PollSlot(0);
            WriteAtomically(DoneFile(sync, round, copy),
                            (monitor.LastAlert(0) + u'\n' + monitor.LastRecovery(0)).toUtf8());
        }
    }
    // Every alert step had the lock: the count of mails shows the lock, not the time-out.
    for (const QString& line : MonitorRig::LogMessages(dir + "/error.log"))
        EXPECT_FALSE(line.startsWith("Alert state of")) << line.toStdString();
}

// The two copies, ended however the test ends: the "end" file first, a kill for a copy that
// does not stop.
struct Copies {
    explicit Copies(const QString& sync) : sync(sync) {
        for (int copy = 0; copy < 2; ++copy) {
            outputs[copy] = sync + QStringLiteral("/copy%1.out").arg(copy);
            qputenv(kIndexVar, QByteArray::number(copy));
            const int fd = ::open(QFile::encodeName(outputs[copy]).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC, 0600);
            pids[copy] = TestSupport::Spawn({QFileInfo("/proc/self/exe").canonicalFilePath(),
                                             "--gtest_also_run_disabled_tests",
                                             "--gtest_filter=TwoCopiesTest.DISABLED_ARunningCopy"},
                                            -1, fd, true);
            ::close(fd);
        }
    }
    ~Copies() { Finish(); }

    // The copies' wait statuses (0: passed).
    std::array<int, 2> Finish() {
        WriteAtomically(sync + "/end", "end");
        std::array<int, 2> status{-1, -1};
        for (int copy = 0; copy < 2; ++copy) {
            if (pids[copy] <= 0)
                continue;
            status[copy] = TestSupport::WaitExit(pids[copy], 60000);
            if (status[copy] == -1)
                TestSupport::End(pids[copy], SIGKILL, 5000);
            pids[copy] = 0;
        }
        return status;
    }
    std::string Output(int copy) const {
        return TestSupport::ReadFile(outputs[copy]).toStdString();
    }

    QString sync;
    std::array<pid_t, 2> pids{};
    std::array<QString, 2> outputs;
};

// Three outages of a SQLite file (missing, then there), two rounds down and two up each, with
// both copies polling in every round: three alerts and three recoveries in all.
TEST(TwoCopiesTest, OneAlertAndOneRecoveryPerOutageBetweenThem) {
    MonitorRig rig;
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    const QString db = rig.dir + "/shared.db";
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), kTitle);
    rig.monitor.reset(); // this process only watches

    const QString sync = TestSupport::MakeTempDir(QStringLiteral("copies"));
    // FilePath is <config>/<organisation>/<application>.conf.
    const QString config = QFileInfo(QFileInfo(SettingsStore::FilePath()).absolutePath()).path();
    qputenv(kConfigVar, QFile::encodeName(config));
    qputenv(kSyncVar, QFile::encodeName(sync));
    qputenv(kPortVar, QByteArray::number(sink.Port()));
    Copies copies(sync);
    ASSERT_TRUE(copies.pids[0] > 0 && copies.pids[1] > 0);

    int round = 0;
    for (int outage = 1; outage <= 3; ++outage) {
        for (const bool up : {false, false, true, true}) {
            if (up)
                ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
            else
                QFile::remove(db);
            ++round;
            WriteAtomically(RoundFile(sync, round), "go");
            for (int copy = 0; copy < 2; ++copy) {
                const QString done = DoneFile(sync, round, copy);
                ASSERT_TRUE(WaitUntil([&] { return QFile::exists(done); }, 120000))
                    << "round " << round << " copy " << copy << ":\n"
                    << copies.Output(copy);
                // What the copy shows is what the store holds, whichever copy wrote it.
                const QStringList texts =
                    QString::fromUtf8(TestSupport::ReadFile(done)).split('\n');
                const QString storedAlert = SettingsStore::ReadString(kTitle, "lastAlert");
                const QString storedRecovery = SettingsStore::ReadString(kTitle, "lastRecovery");
                EXPECT_TRUE(IsStamp(storedAlert)) << storedAlert.toStdString();
                EXPECT_EQ(texts.value(0).toStdString(), storedAlert.toStdString())
                    << "round " << round << " copy " << copy;
                EXPECT_EQ(texts.value(1).toStdString(), storedRecovery.toStdString())
                    << "round " << round << " copy " << copy;
                EXPECT_EQ(storedRecovery.isEmpty(), !up);
            }
            EXPECT_EQ(SettingsStore::ReadInt(kTitle, "Warned", -1), up ? 0 : 1);
        }
    }
    const std::array<int, 2> status = copies.Finish();
    for (int copy = 0; copy < 2; ++copy)
        EXPECT_EQ(status[copy], 0) << copies.Output(copy);

    ASSERT_TRUE(sink.WaitForMessages(6, 15000));
    QStringList subjects;
    for (const SmtpSink::Message& m : sink.Messages())
        subjects << m.Subject();
    EXPECT_EQ(subjects.join(", ").toStdString(),
              QStringList(3, "Alert - Shared, Recovery - Shared").join(", ").toStdString());
}

// A copy whose alert step another copy holds for too long goes on alone after its wait, and
// says so in the error log; a hold on another database's step does not delay it.
TEST(TwoCopiesTest, AStepHeldElsewhereGoesOnAfterTheWaitAndSaysWhy) {
    MonitorRig rig;
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    rig.SetUpEmail(sink.Port());
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(rig.dir + "/missing.db"), "Held");
    rig.options.stateLockWaitMs = 2000;
    rig.Restart();
    QElapsedTimer timer;
    {
        const SettingsStore::SectionLock elsewhere("Other", 0);
        ASSERT_TRUE(elsewhere.Held());
        timer.start();
        rig.monitor->PollSlot(0);
        EXPECT_LT(timer.elapsed(), 2000) << "held for another database";
    }
    EXPECT_EQ(rig.ErrorLines(), QStringList{"Database unreachable: Held"});
    SettingsStore::WriteInt("Held", "Warned", 0);
    {
        const SettingsStore::SectionLock elsewhere("Held", 0);
        ASSERT_TRUE(elsewhere.Held());
        timer.start();
        rig.monitor->PollSlot(0);
        EXPECT_GE(timer.elapsed(), 2000);
        EXPECT_LT(timer.elapsed(), 10000);
    }
    EXPECT_EQ(rig.ErrorLines().value(2), "Alert state of Held not locked against other running "
                                         "copies (held elsewhere for more than 2000 ms); going on");
    ASSERT_TRUE(sink.WaitForMessages(2, 15000)) << "the alert still goes out";
    EXPECT_EQ(sink.Messages()[1].Subject(), "Alert - Held");
}

} // namespace
