#include "StatsTestSupport.h"
#include "stats/PostureLog.h"
#include "stats/PostureStatsView.h"
#include "support/TestSupport.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QTest>
#include <QToolButton>

using namespace quorvel;
using namespace quorvel::test;
using namespace quorvel::stats;

namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) : QObject(widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
        }
        return false;
    }
};

QColor over(const QColor& background, const QColor& paint) {
    const double a = paint.alphaF();
    auto mix = [a](int b, int p) {
        return qRound(b * (1.0 - a) + p * a);
    };
    return QColor(mix(background.red(), paint.red()), mix(background.green(), paint.green()),
                  mix(background.blue(), paint.blue()));
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
           std::abs(a.blue() - b.blue()) <= 2;
}

QString describe(const QColor& a, const QColor& b) {
    return QStringLiteral("got %1, expected %2").arg(a.name(), b.name());
}

} // namespace

class TestPostureStatsView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        setLocalTimeZone(berlin);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void formattedDurations() {
        const QList<QPair<double, QString>> cases = {
            {0.0, "0s"},
            {59.9, "59s"},
            {60.0, "1m"},
            {75.0, "1m"},
            {3600.0, "60m"},
            {7260.0, "121m"},
            {-0.5, "0s"},
            {std::nan(""), "0s"},
            {std::numeric_limits<double>::infinity(), "153333333333333333m"}};
        for (const auto& [seconds, text] : cases) {
            QCOMPARE(formattedDuration(seconds), text);
        }
    }

    void summaryTexts() {
        QCOMPARE(todaySummary(0, 0.0), "Today: 0 slouches, 0s");
        QCOMPARE(todaySummary(1, 75.0), "Today: 1 slouch, 1m");
        QCOMPARE(todaySummary(1, 30.0), "Today: 1 slouch, 30s");
        QCOMPARE(todaySummary(2, 7260.0), "Today: 2 slouches, 121m");
    }

    void barHeightsAndColours() {
        QCOMPARE(barHeight(0, 1, 84.0), 2.0);
        QCOMPARE(barHeight(1, 1, 84.0), 84.0);
        QCOMPARE(barHeight(1, 40, 84.0), 4.0); // not 2.1
        QCOMPARE(barHeight(20, 40, 84.0), 42.0);
        // Too narrow a chart still gives every day a bar one point wide.
        QCOMPARE(barRects(QList<DayCount>(30), 40.0)[1].width(), 1.0);

        QCOMPARE(barColor(0).rgb(), neutralGray().rgb());
        QVERIFY(qAbs(barColor(0).alphaF() - 0.2) < 0.001);
        QCOMPARE(barColor(1).rgb(), alertRed().rgb());
        QVERIFY(qAbs(barColor(1).alphaF() - 0.73) < 0.001);
        QVERIFY(qAbs(barColor(9).alphaF() - 0.97) < 0.001);
        QCOMPARE(barColor(10).alpha(), 255);
        QCOMPARE(barColor(25), barColor(10));
    }

    void dayLabels() {
        const QDateTime tuesday = QDate(2024, 3, 5).startOfDay(Qt::LocalTime);
        QCOMPARE(dayLabel(tuesday, StatsRange::week), "T");
        QCOMPARE(dayLabel(tuesday.addDays(-1), StatsRange::week), "M");
        QCOMPARE(dayLabel(tuesday, StatsRange::month), "5");
        QCOMPARE(dayLabel(tuesday, StatsRange::week, QLocale(QLocale::German)), "D");
        QCOMPARE(dayLabel(QDateTime(), StatsRange::week), QString());
        QCOMPARE(rawValue(StatsRange::week), "Week");
        QCOMPARE(rawValue(StatsRange::month), "Month");
    }

    void chartDataRunsByLocalCalendarDays() {
        TempFolder dir;
        // The month before 2 April spans the change to summer time on 31 March.
        FakeClock clock(local(2024, 4, 2, 0, 30));
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        log.record(PostureEvent(local(2024, 4, 1, 23, 59, 50), 600.0)); // runs past midnight
        log.record(PostureEvent(local(2024, 3, 31, 3, 0), 1.0));
        log.record(PostureEvent(local(2024, 3, 4, 0, 0), 1.0));
        log.record(PostureEvent(local(2024, 3, 3, 23, 59, 59), 1.0)); // one day too early

        const QList<DayCount> week = chartData(log, StatsRange::week, clock.now());
        QCOMPARE(week.size(), 7);
        QCOMPARE(week.first().date, local(2024, 3, 27, 0, 0));
        QCOMPARE(week.last().date, local(2024, 4, 2, 0, 0));
        QCOMPARE(week.last().count, 0);
        QCOMPARE(week[5].count, 1);
        QCOMPARE(week[4].count, 1);

        const QList<DayCount> month = chartData(log, StatsRange::month, clock.now());
        QCOMPARE(month.size(), 30);
        QCOMPARE(month.first().date, local(2024, 3, 4, 0, 0)); // 29 days back
        QCOMPARE(month.first().count, 1);
        for (qsizetype i = 0; i < month.size(); ++i) {
            QCOMPARE(month[i].date.toLocalTime().time(), QTime(0, 0));
            QCOMPARE(month[i].date.toLocalTime().date(), QDate(2024, 3, 4).addDays(i));
        }
        QCOMPARE(dayLabel(month.first().date, StatsRange::month), "4");
    }

    void rendersTheLogAndFollowsIt() {
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        FakeClock clock(local(2024, 3, 5, 12, 0)); // a Tuesday
        QByteArray file = "[";
        for (int i = 0; i < 10; ++i) {
            file += eventJson(PostureEvent(local(2024, 3, 5, 9, i), 30.0)) + ",";
        }
        file += eventJson(PostureEvent(local(2024, 3, 4, 23, 59, 50), 30.0)) + "]";
        writeFile(path, file);
        PostureLog log(path, clock.clock());

        PostureStatsView view(&log);
        QCOMPARE(view.selectedRange(), StatsRange::week);
        QCOMPARE(view.summaryText(), "Today: 10 slouches, 5m");
        view.resize(296, view.sizeHint().height());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* chart = view.findChild<QWidget*>(QStringLiteral("chart"));
        QVERIFY(chart);
        QCOMPARE(chart->height(), 100);
        QCOMPARE(chart->width(), 296);

        const QColor background = view.palette().color(QPalette::Window);
        auto pixel = [&](const QImage& image, double x, double y) {
            return image.pixelColor(chart->mapTo(&view, QPoint(qFloor(x), qFloor(y))));
        };
        auto check = [&](const QImage& image, double x, double y, const QColor& expected) {
            const QColor got = pixel(image, x, y);
            QVERIFY2(near(got, expected), qPrintable(describe(got, expected)));
        };

        QImage image = view.grab().toImage();
        QList<QRectF> bars = barRects(chartData(log, StatsRange::week, clock.now()), 296.0);
        // Today: ten events, the tallest bar, fully opaque red from y 2 to 86.
        const double today = bars[6].center().x();
        check(image, today, 3.5, alertRed());
        check(image, today, 85.5, alertRed());
        check(image, today, 0.5, background);
        // Yesterday: one event, 8.4 high, red at 0.73.
        const double yesterday = bars[5].center().x();
        check(image, yesterday, 84.5, over(background, barColor(1)));
        check(image, yesterday, 76.5, background);
        // An empty day: a flat gray bar two points high.
        check(image, bars[0].center().x(), 85.5, over(background, barColor(0)));
        check(image, bars[0].center().x(), 83.5, background);

        // The summary's chart icon is drawn in blue.
        auto* summary = view.findChild<QWidget*>(QStringLiteral("summary"));
        const QImage icon = summary->grab().toImage();
        bool blue = false;
        for (int x = 0; x < summary->height() && !blue; ++x) {
            for (int y = 0; y < summary->height() && !blue; ++y) {
                blue = icon.pixelColor(x, y) == stats::accentBlue();
            }
        }
        QVERIFY(blue);

        // A new event repaints the summary and the chart.
        PaintCounter chartPaints(chart);
        PaintCounter summaryPaints(summary);
        log.record(PostureEvent(local(2024, 3, 5, 11, 0), 45.0));
        QTRY_VERIFY(chartPaints.count > 0 && summaryPaints.count > 0);
        QCOMPARE(view.summaryText(), "Today: 11 slouches, 5m");

        // Month: thirty bars, today still at the right.
        auto* month =
            view.findChild<QWidget*>(QStringLiteral("range"))->findChildren<QToolButton*>().last();
        QCOMPARE(month->text(), "Month");
        QTest::mouseClick(month, Qt::LeftButton);
        QCOMPARE(view.selectedRange(), StatsRange::month);
        QVERIFY(month->isChecked());
        image = view.grab().toImage();
        bars = barRects(chartData(log, StatsRange::month, clock.now()), 296.0);
        QCOMPARE(bars.size(), 30);
        check(image, bars[29].center().x(), 3.5, alertRed());
        check(image, bars[28].center().x(), 84.5, over(background, barColor(1)));

        // Every new view starts at Week again.
        PostureStatsView second(&log);
        QCOMPARE(second.selectedRange(), StatsRange::week);
    }
};

QTEST_MAIN(TestPostureStatsView)
#include "tst_posture_stats_view.moc"
