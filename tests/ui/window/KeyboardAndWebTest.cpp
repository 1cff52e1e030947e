// The main window offscreen as a keyboard user works it: typed polling intervals and warning
// thresholds with real key presses and focus changes, the arrows at the ends of the range; and
// "On the web..." with no browser and with one.
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "platform/ProductInfo.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "ui/MonitorDlg.h"
#include "ui/UpDown.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

const QString kSection = QString::fromLatin1(SettingsStore::kSettings);

// The stored number, -1 when the key is not there.
int Stored(const QString& key) {
    return SettingsStore::ReadInt(kSection, key, -1);
}

QLineEdit* Box(CMonitorDlg& w, const std::array<int, 4>& ids, int slot) {
    return qobject_cast<QLineEdit*>(w.Control(ids[slot]));
}

// A fresh store with a server (no first-start prompt) and a window whose start-up ticks have
// passed: every slot is empty and armed at its interval, nothing polls.
TestProgram QuietWindow() {
    QFile::remove(SettingsStore::FilePath());
    SettingsStore::WriteString(kSection, QStringLiteral("SMTP"), QStringLiteral("127.0.0.1:1"));
    TestProgram w;
    if (!w->OnInitDialog())
        return nullptr;
    w->show();
    w->activateWindow();
    if (!QTest::qWaitForWindowActive(w.get()))
        return nullptr;
    const bool settled = TestSupport::WaitUntil(
        [&] {
            for (int i = 0; i < 4; ++i)
                if (w->Scheduler().RemainingMs(i) < 60000)
                    return false;
            return true;
        },
        30000);
    if (!settled)
        return nullptr;
    return w;
}

// Typed over whatever the box holds, as a user who selects the text and types.
void TypeOver(QLineEdit* box, const QString& text) {
    box->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, text);
}

// The timer was (re)started for this many minutes a moment ago: the time left lies within a few
// seconds below the whole interval.
::testing::AssertionResult RestartedFor(CMonitorDlg& w, int slot, int minutes) {
    const qint64 full = static_cast<qint64>(minutes) * 60000;
    const int left = w.Scheduler().RemainingMs(slot);
    if (w.Scheduler().IsArmed(slot) && left <= full && left > full - 10000)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "slot " << slot << ": " << left << " ms left, expected just under " << full;
}

TEST(TypedNumbersTest, TypedIntervalsApplyOnFocusLossAndEnterKeysStepAndArrowsStopAtTheEnds) {
    auto w = QuietWindow();
    ASSERT_TRUE(w);
    QLineEdit* interval = Box(*w, CMonitorDlg::IDC_INTERVAL, 1);
    auto* spin = qobject_cast<CUpDown*>(w->Control(CMonitorDlg::IDC_SPIN[1]));
    ASSERT_TRUE(interval && spin);
    const auto tab = [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); };
    const auto enter = [&] { QTest::keyClick(interval, Qt::Key_Return); };
    const auto up = [&] { QTest::keyClick(interval, Qt::Key_Up); };
    const auto down = [&] { QTest::keyClick(interval, Qt::Key_Down); };
    const auto upArrow = [&] { QTest::mouseClick(spin->UpButton(), Qt::LeftButton); };
    const auto downArrow = [&] { QTest::mouseClick(spin->DownButton(), Qt::LeftButton); };
    const int max = CMonitorDlg::kIntervalMax;

    struct Case {
        const char* what;
        QString typed; // typed over the box first; null: the box is left as it is
        std::function<void()> act;
        int minutes; // the box, "Interval1" and the timer afterwards
    };
    const Case cases[] = {
        {"typed, then Tab", "2", tab, 2},
        {"typed, then Enter", "3", enter, 3},
        {"Up key", {}, up, 4},
        {"Down key", {}, down, 3},
        {"a leading zero is refused, then Tab", "07", tab, 7},
        {"largest value, then Enter", QString::number(max), enter, max},
        {"Up key at the largest", {}, up, max},
        {"up arrow at the largest", {}, upArrow, max},
        {"typed, then the down arrow starts from it", "10", downArrow, 9},
        {"smallest, then Down key", "1", down, 1},
        {"down arrow at the smallest", {}, downArrow, 1},
    };
    int firstSlotPolls = 0;
    QObject::connect(&w->Scheduler(), &PollScheduler::PollStarted, w.get(),
                     [&](int slot) { firstSlotPolls += slot == 0; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.typed.isNull())
            TypeOver(interval, c.typed);
        c.act();
        EXPECT_EQ(interval->text().toStdString(), std::to_string(c.minutes));
        EXPECT_EQ(Stored(QStringLiteral("Interval1")), c.minutes);
        EXPECT_EQ(w->Monitor().Interval(1), c.minutes);
        EXPECT_TRUE(RestartedFor(*w, 1, c.minutes));
    }
    // Enter confirms the number only: it does not also poll "Database 1".
    TestSupport::WaitUntil([] { return false; }, 300);
    EXPECT_EQ(firstSlotPolls, 0);

    // Passing through the box without typing does not restart the count; an emptied box keeps
    // the interval.
    TypeOver(interval, QStringLiteral("2"));
    tab();
    ASSERT_TRUE(RestartedFor(*w, 1, 2));
    TestSupport::WaitUntil([] { return false; }, 600);
    const int before = w->Scheduler().RemainingMs(1);
    interval->setFocus(Qt::TabFocusReason);
    tab();
    EXPECT_LE(w->Scheduler().RemainingMs(1), before);
    TypeOver(interval, QString());
    tab();
    EXPECT_EQ(w->Monitor().Interval(1), 2);
    EXPECT_EQ(Stored(QStringLiteral("Interval1")), 2);
    EXPECT_LE(w->Scheduler().RemainingMs(1), before);
}

TEST(TypedNumbersTest, ATypedThresholdIsStoredWhenItsBoxLosesTheFocusAndZeroIsRefused) {
    auto w = QuietWindow();
    ASSERT_TRUE(w);
    QLineEdit* warn = Box(*w, CMonitorDlg::IDC_THRESHOLD, 2);
    QLineEdit* other = Box(*w, CMonitorDlg::IDC_THRESHOLD, 3);
    ASSERT_TRUE(warn && other);
    const auto clickAway = [&] { QTest::mouseClick(other, Qt::LeftButton); };
    const auto enter = [&] { QTest::keyClick(warn, Qt::Key_Enter, Qt::KeypadModifier); };
    // "typed|shown after typing|stored"
    const std::pair<const char*, std::function<void()>> moves[] = {{"click", clickAway},
                                                                   {"enter", enter}};
    const QStringList cases = {"250|250|250", "0|250|250", "x7|7|7", "4000|4000|4000",
                               "00|4000|4000"};
    for (const auto& [how, move] : moves)
        for (const QString& c : cases) {
            SCOPED_TRACE(testing::Message() << how << " " << c.toStdString());
            // Typed over a selection: a refused entry leaves what was there.
            warn->setFocus(Qt::MouseFocusReason);
            warn->selectAll();
            QTest::keyClicks(warn, c.section(u'|', 0, 0));
            EXPECT_EQ(warn->text().toStdString(), c.section(u'|', 1, 1).toStdString());
            move();
            EXPECT_EQ(Stored(QStringLiteral("Warn2")), c.section(u'|', 2, 2).toInt())
                << "without a poll";
            EXPECT_EQ(w->Monitor().Threshold(2), c.section(u'|', 2, 2).toInt());
        }
    EXPECT_FALSE(w->Scheduler().IsPolling(2) || w->Scheduler().IsPolling(0));
}

// Takes the product page instead of a browser.
class PageCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

TEST(OnTheWebTest, WithoutABrowserTheAddressIsShownSelectedToCopyWithOneItIsOpened) {
    auto w = QuietWindow();
    ASSERT_TRUE(w);
    const QString page = QLatin1String(ProductInfo::kProductPageUrl);
    // The offscreen desktop has no browser: the address comes in a box.
    QString field, selected, copied;
    bool focused = false;
    QTimer::singleShot(0, w.get(), [&] {
        TestSupport::WaitUntil(
            [] {
                const QWidget* modal = QApplication::activeModalWidget();
                return modal && modal->isActiveWindow();
            },
            10000);
        QWidget* box = QApplication::activeModalWidget();
        auto* edit = box ? box->findChild<QLineEdit*>() : nullptr;
        if (edit && box->objectName() == QStringLiteral("WebAddressBox")) {
            field = edit->text();
            selected = edit->selectedText();
            focused = edit->hasFocus();
            QApplication::clipboard()->clear();
            QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
            copied = QApplication::clipboard()->text();
        }
        if (box)
            qobject_cast<QDialog*>(box)->accept();
    });
    w->OnCommand(CMonitorDlg::ID_ON_THE_WEB);
    EXPECT_EQ(field.toStdString(), ProductInfo::kProductPageUrl);
    EXPECT_EQ(selected.toStdString(), ProductInfo::kProductPageUrl);
    EXPECT_TRUE(focused);
    EXPECT_EQ(copied.toStdString(), ProductInfo::kProductPageUrl);

    // A browser takes it: no box.
    PageCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "Open");
    bool boxCame = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            boxCame = true;
            box->reject();
        }
    });
    guard.start(1000);
    w->OnCommand(CMonitorDlg::ID_ON_THE_WEB);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    EXPECT_FALSE(boxCame);
    EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl(page)});
}

} // namespace

#include "KeyboardAndWebTest.moc"
