#pragma once

#include <QColor>
#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <optional>

class QAbstractButton;

namespace quorvel {

class PostureLog;

// The span of days the chart shows.
enum class StatsRange { week, month };

QString rawValue(StatsRange range); // "Week", "Month"
QString label(StatsRange range);    // the switch's titles, in the user's language
std::optional<StatsRange> statsRangeFromRawValue(const QString& raw);
QList<StatsRange> allStatsRanges();

// One bar: a local calendar day and the number of events that started on it.
struct DayCount {
    QDateTime date; // the day's first instant (local midnight)
    int count = 0;
};

// The drawing's arithmetic, kept apart so it can be checked without a screen.
namespace stats {

// Height of the chart and of the label line under each bar, gap between bars.
inline constexpr double chartHeight = 100.0;
inline constexpr double labelHeight = 12.0;
inline constexpr double barSpacing = 2.0;
inline constexpr double labelFontPoints = 7.0;

// One entry per local calendar day, oldest first, today (of `now`) last: 7 for the week,
// 30 for the month.
QList<DayCount> chartData(const PostureLog& log, StatsRange range, const QDateTime& now);

// "Today: 1 slouch, 1m", "Today: 0 slouches, 0s".
QString todaySummary(int count, double totalSeconds);

// Whole minutes as "121m" from one minute on, whole seconds as "59s" below (truncated).
QString formattedDuration(double seconds);

// 2 for an empty day, otherwise count / maxCount of totalHeight but at least 4.
double barHeight(int count, int maxCount, double totalHeight);

// Gray at 0.2 opacity for an empty day; red from 0.73 opacity for one event to fully opaque
// from ten events on.
QColor barColor(int count);

// Week: the first letter of the abbreviated weekday ("T" on a Tuesday in English);
// month: the day of the month ("1" to "31"). In `locale`, of the local day of `date`.
QString dayLabel(const QDateTime& date, StatsRange range, const QLocale& locale = QLocale());

// What the chart says to a screen reader: its title for the range ("Slouches per day, last
// 7 days") and every day with its count, oldest first ("Mon 30 Nov: 2 slouches; …").
QString chartTitle(StatsRange range);
QString chartDescription(const QList<DayCount>& days, const QLocale& locale = QLocale());

// Where each bar of `days` is drawn inside a chart of the given size (bars rest on the label
// line, 2 apart, filling the width).
QList<QRectF> barRects(const QList<DayCount>& days, double width, double height = chartHeight);

} // namespace stats

// The panel's statistics block: today's summary, a Week/Month switch and a bar chart of
// slouch events per day, today at the right. Everything is computed from the log whenever
// the block is painted; it repaints whenever the log's events change. The switch starts at
// Week for every new instance.
class PostureStatsView : public QWidget {
    Q_OBJECT

public:
    explicit PostureStatsView(PostureLog* log, QWidget* parent = nullptr);

    StatsRange selectedRange() const { return m_selectedRange; }
    void setSelectedRange(StatsRange range);

    // The summary row's text as it would be painted now.
    QString summaryText() const;

    QSize sizeHint() const override;

    // The parts screen readers read, for tests.
    QWidget* summaryRow() const { return m_summary; }
    QWidget* chart() const { return m_chart; }

private:
    void chartChanged();

    QPointer<PostureLog> m_log;
    StatsRange m_selectedRange = StatsRange::week;
    QWidget* m_summary = nullptr;
    QWidget* m_chart = nullptr;
    QList<QAbstractButton*> m_segments;
};

} // namespace quorvel
