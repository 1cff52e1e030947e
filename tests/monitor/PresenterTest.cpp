// The engine's outcomes as values, and the presenter on a real engine and event loop: the engine's
// wake-up alone brings the outcome to the UI thread, the tray's frames are paced by a timer while
// the poll itself does not wait, an outcome that comes during an animation is shown at once, and a
// slot emptied while the tray turns shows nothing of its old database.
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SmtpSink.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

// Every call with the time it came, on the UI thread.
class TimedSurface : public ISlotSurface {
public:
    struct Call {
        QString what;
        int slot = -1;
        int icon = 0;
        QString tip;
        qint64 atMs = 0;
    };
    void SetLabelColour(int slot, int) override { Add("colour", slot); }
    void AddGraphSample(int slot, double, double) override { Add("sample", slot); }
    void SetGraphLegend(int slot, const QStringList&) override { Add("legend", slot); }
    void SetGraphScale(int slot, double) override { Add("scale", slot); }
    void SetSlotText(int slot, SlotField, const QString&) override { Add("text", slot); }
    void SetTrayIcon(int icon, const QString& tip) override { Add("tray", -1, icon, tip); }
    void ResetGraph(int slot) override { Add("resetGraph", slot); }

    // "tray <icon>" or "<what> <slot>", in order.
    QStringList Sequence() const {
        QStringList out;
        for (const Call& c : calls)
            out << (c.what == "tray" ? QStringLiteral("tray %1").arg(c.icon)
                                     : QStringLiteral("%1 %2").arg(c.what).arg(c.slot));
        return out;
    }
    qsizetype IndexOf(const QString& entry) const { return Sequence().indexOf(entry); }

    QElapsedTimer clock;
    QList<Call> calls;

private:
    void Add(const QString& what, int slot, int icon = 0, const QString& tip = {}) {
        calls << Call{what, slot, icon, tip, clock.elapsed()};
    }
};

class PresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
        rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "first.db");
        rig.StoreSlot(1, OdbcTestEnv::SqliteConnectionString(db), "second.db");
        // This test's presenter is the window: the rig's takes what the start queued and goes.
        rig.presenter->Drain();
        rig.view.presenter = nullptr;
        rig.presenter.reset();
        presenter = std::make_unique<SlotPresenter>(*rig.monitor, surface, kPitchMs);
        surface.clock.start();
    }
    bool Shown(const QString& entry) {
        return WaitUntil([&] { return surface.IndexOf(entry) >= 0; }, 5000);
    }

    static constexpr int kPitchMs = SlotPresenter::kTrayFrameMs;
    MonitorRig rig;
    QString db = rig.dir + "/presented.db";
    TimedSurface surface;
    std::unique_ptr<SlotPresenter> presenter;
};

TEST_F(PresenterTest, FramesPacedOnTheUiThreadWhileThePollGoesOn) {
    QElapsedTimer poll;
    poll.start();
    rig.monitor->PollSlot(0);
    EXPECT_LT(poll.elapsed(), 4 * kPitchMs) << "the poll does not wait for the tray";
    ASSERT_TRUE(Shown("text 0"));
    const QStringList head = surface.Sequence().mid(0, 10);
    EXPECT_EQ(head, QStringList({"tray 131", "tray 132", "tray 133", "tray 134", "tray 128",
                                 "sample 0", "colour 0", "legend 0", "scale 0", "text 0"}));
    for (int i = 1; i <= 4; ++i) {
        const qint64 gap = surface.calls[i].atMs - surface.calls[i - 1].atMs;
        EXPECT_GE(gap, kPitchMs * 9 / 10) << "frame " << i;
    }
    EXPECT_EQ(surface.calls[0].tip, "Trellion\nfirst.db");
    EXPECT_EQ(surface.calls[4].tip, "Trellion\nfirst.db");
}

TEST_F(PresenterTest, AnOutcomeDuringAnAnimationIsShownAtOnceWithoutFrames) {
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(Shown("tray 131"));
    rig.monitor->PollSlot(1);
    ASSERT_TRUE(Shown("text 1"));
    ASSERT_TRUE(Shown("text 0"));
    EXPECT_LT(surface.IndexOf("sample 1"), surface.IndexOf("tray 128"));
    for (const TimedSurface::Call& c : surface.calls)
        EXPECT_NE(c.tip, "Trellion\nsecond.db") << "no frames of its own";
    EXPECT_EQ(surface.Sequence().filter("tray 13").size(), 4);
}

TEST_F(PresenterTest, ASlotEmptiedWhileTheTrayTurnsShowsNothingOfItsOldDatabase) {
    rig.monitor->PollSlot(0);
    ASSERT_TRUE(Shown("tray 131"));
    rig.monitor->SetProbe(0, nullptr);
    ASSERT_TRUE(Shown("tray 128"));
    QCoreApplication::processEvents();
    EXPECT_EQ(surface.IndexOf("sample 0"), -1);
    EXPECT_EQ(surface.IndexOf("text 0"), -1);
}

} // namespace

namespace {

// The values themselves, taken straight from the engine: status, display, the rules' decisions
// and how each mail went.
TEST(PollOutcomeTest, AnOutcomeCarriesItsStatusDecisionsAndMailResults) {
    MonitorRig rig;
    rig.view.presenter = nullptr;
    rig.presenter.reset();
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    rig.SetUpEmail(refusing.Port());
    const QString db = rig.dir + "/valued.db";
    rig.StoreSlot(0, OdbcTestEnv::SqliteConnectionString(db), "valued.db");
    const auto takeOutcome = [&] {
        std::optional<PollOutcome> found;
        for (MonitorEvent& event : rig.monitor->TakeEvents())
            if (auto* outcome = std::get_if<PollOutcome>(&event))
                found = std::move(*outcome);
        return found;
    };
    rig.monitor->TakeEvents(); // the start's graph resets

    rig.monitor->PollSlot(0);
    std::optional<PollOutcome> down = takeOutcome();
    ASSERT_TRUE(down.has_value());
    EXPECT_EQ(down->status, PollStatus::Unreachable);
    EXPECT_EQ(down->elapsed, -99);
    EXPECT_EQ(down->colour, SlotColour::Unreachable);
    EXPECT_EQ(down->trayTip, "Trellion\nvalued.db");
    ASSERT_TRUE(down->trayMark.has_value());
    EXPECT_EQ(down->trayMark->icon, TrayIcons::Unreachable);
    ASSERT_FALSE(down->decisions.isEmpty());
    EXPECT_EQ(std::get<LogEffect>(down->decisions.first()).line, "Database unreachable: valued.db");
    ASSERT_EQ(down->mails.size(), 1);
    EXPECT_EQ(down->mails[0].kind, MailEffect::Kind::Alert);
    EXPECT_FALSE(down->mails[0].sent);
    EXPECT_TRUE(down->mails[0].reason.contains("554")) << down->mails[0].reason.toStdString();
    EXPECT_EQ(*down->texts[int(SlotField::LastAlert)],
              "(alert not sent: " + down->mails[0].reason + ")");

    SmtpSink accepting;
    ASSERT_TRUE(accepting.Start());
    rig.SetUpEmail(accepting.Port());
    ASSERT_FALSE(OdbcTestEnv::CreateSqliteDatabase(db).isEmpty());
    rig.monitor->PollSlot(0);
    std::optional<PollOutcome> up = takeOutcome();
    ASSERT_TRUE(up.has_value());
    EXPECT_EQ(up->status, PollStatus::Reachable);
    EXPECT_EQ(up->colour, SlotColour::Reachable);
    EXPECT_FALSE(up->trayMark.has_value());
    ASSERT_EQ(up->mails.size(), 1);
    EXPECT_EQ(up->mails[0].kind, MailEffect::Kind::Recovery);
    EXPECT_TRUE(up->mails[0].sent);
    EXPECT_TRUE(IsStamp(*up->texts[int(SlotField::LastRecovery)]));
}

} // namespace
