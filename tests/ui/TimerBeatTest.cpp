// Timers keep their beat when the settings refresh sets the period they already have.

#include "ui/QtTestApp.h"
#include "ui/main/QtTimer.h"

#include <QTest>
#include <QTimer>

namespace {

// A 100 ms period set again every 70 ms, as a settings refresh does: had every setting
// restarted the period, the timer would never fire.
TEST(TimerBeat, SettingTheSamePeriodDoesNotRestartIt) {
    TQtTimer timer;
    int ticks = 0;
    timer.SetHandler([&] { ++ticks; });
    timer.SetInterval(100);
    timer.SetEnabled(true);
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&] { timer.SetInterval(100); });
    refresh.start(70);
    QTest::qWait(650);
    EXPECT_GE(ticks, 3); // six on an idle machine

    // A new period still takes effect at once.
    refresh.stop();
    timer.SetInterval(20);
    EXPECT_EQ(timer.Interval(), 20u);
    ticks = 0;
    QTest::qWait(300);
    EXPECT_GE(ticks, 5);
}

} // namespace
