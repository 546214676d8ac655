#include "StatsTestSupport.h"
#include "common/Accessibility.h"
#include "stats/PostureLog.h"
#include "stats/PostureStatsView.h"
#include "support/EventCounter.h"
#include "support/TestSupport.h"

#include <QAccessible>
#include <QTest>
#include <QToolButton>

using namespace quorvel;
using namespace quorvel::test;
using namespace quorvel::stats;

class TestPostureStatsView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setLocalTimeZone(berlin);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void textsAndBars() {
        const QList<QPair<double, QString>> durations = {
            {59.9, "59s"},        {60.0, "1m"},
            {7260.0, "121m"},     {-0.5, "0s"},
            {std::nan(""), "0s"}, {std::numeric_limits<double>::infinity(), "153333333333333333m"}};
        for (const auto& [seconds, text] : durations) {
            QCOMPARE(formattedDuration(seconds), text);
        }
        QCOMPARE(todaySummary(1, 75.0), "Today: 1 slouch, 1m");
        QCOMPARE(barHeight(1, 40, 84.0), 4.0); // not 2.1
        // Too narrow a chart still gives every day a bar one point wide.
        QCOMPARE(barRects(QList<DayCount>(30), 40.0)[1].width(), 1.0);
        const QDateTime tuesday = QDate(2024, 3, 5).startOfDay();
        QCOMPARE(dayLabel(tuesday, StatsRange::week, QLocale(QLocale::German)), "D");
        QCOMPARE(dayLabel(QDateTime(), StatsRange::week), QString());
    }

    void rendersTheLogAndFollowsIt() {
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        FakeClock clock(local(2024, 3, 5, 12, 0)); // a Tuesday
        QList<PostureEvent> events{PostureEvent(local(2024, 3, 4, 23, 59, 50), 30.0)};
        for (int i = 0; i < 10; ++i) {
            events.append(PostureEvent(local(2024, 3, 5, 9, i), 30.0));
        }
        writeFile(path, logFile(events));
        PostureLog log(path, clock.clock());

        PostureStatsView view(&log);
        QCOMPARE(view.selectedRange(), StatsRange::week);
        QCOMPARE(view.summaryText(), "Today: 10 slouches, 5m");
        view.resize(296, view.sizeHint().height());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* chart = view.findChild<QWidget*>(QStringLiteral("chart"));
        QCOMPARE(chart->size(), QSize(296, 100));

        // Screen readers read the summary and every day of the chart as text.
        auto text = [](QWidget* widget, QAccessible::Text t) {
            return QAccessible::queryAccessibleInterface(widget)->text(t);
        };
        QCOMPARE(QAccessible::queryAccessibleInterface(chart)->role(), QAccessible::Chart);
        QCOMPARE(text(view.summaryRow(), QAccessible::Name), "Today: 10 slouches, 5m");
        QCOMPARE(text(chart, QAccessible::Name), "Slouches per day, last 7 days");
        QCOMPARE(text(chart, QAccessible::Description),
                 "Wed 28 Feb: 0 slouches; Thu 29 Feb: 0 slouches; Fri 1 Mar: 0 slouches; "
                 "Sat 2 Mar: 0 slouches; Sun 3 Mar: 0 slouches; Mon 4 Mar: 1 slouch; "
                 "Tue 5 Mar: 10 slouches");

        // A new event repaints the summary and the chart, and tells screen readers.
        QList<QPair<QObject*, QAccessible::Event>> told;
        a11y::setObserver([&](QObject* o, QAccessible::Event e) { told.append({o, e}); });
        EventCounter chartPaints(chart, QEvent::Paint);
        EventCounter summaryPaints(view.findChild<QWidget*>(QStringLiteral("summary")),
                                   QEvent::Paint);
        log.record(PostureEvent(local(2024, 3, 5, 11, 0), 45.0));
        QTRY_VERIFY(chartPaints.count > 0 && summaryPaints.count > 0);
        QCOMPARE(view.summaryText(), "Today: 11 slouches, 5m");
        QCOMPARE(text(view.summaryRow(), QAccessible::Name), view.summaryText());
        QVERIFY(text(chart, QAccessible::Description).endsWith("Tue 5 Mar: 11 slouches"));
        QVERIFY(told.contains({chart, QAccessible::DescriptionChanged}));
        QVERIFY(told.contains({view.summaryRow(), QAccessible::NameChanged}));
        a11y::setObserver({});

        auto* month =
            view.findChild<QWidget*>(QStringLiteral("range"))->findChildren<QToolButton*>().last();
        QCOMPARE(month->text(), "Month");
        QTest::mouseClick(month, Qt::LeftButton);
        QCOMPARE(view.selectedRange(), StatsRange::month);
        QCOMPARE(text(chart, QAccessible::Name), "Slouches per day, last 30 days");
        QCOMPARE(text(chart, QAccessible::Description).count(';'), 29);
        QVERIFY(text(chart, QAccessible::Description).startsWith("Mon 5 Feb: 0 slouches;"));
    }
};

QTEST_MAIN(TestPostureStatsView)
#include "tst_posture_stats_view.moc"
