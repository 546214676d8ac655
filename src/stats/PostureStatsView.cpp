#include "stats/PostureStatsView.h"

#include "common/Accessibility.h"
#include "common/Theme.h"
#include "stats/PostureLog.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <functional>

namespace quorvel {

namespace {

// Each case's raw value, which is also its English text.
const char* text(StatsRange range) {
    switch (range) {
    case StatsRange::week:
        return QT_TRANSLATE_NOOP("StatsRange", "Week");
    case StatsRange::month:
        return QT_TRANSLATE_NOOP("StatsRange", "Month");
    }
    Q_UNREACHABLE();
    return "";
}

} // namespace

QString rawValue(StatsRange range) {
    return QString::fromLatin1(text(range));
}

QString label(StatsRange range) {
    return QCoreApplication::translate("StatsRange", text(range));
}

std::optional<StatsRange> statsRangeFromRawValue(const QString& raw) {
    for (StatsRange range : allStatsRanges()) {
        if (rawValue(range) == raw) {
            return range;
        }
    }
    return std::nullopt;
}

QList<StatsRange> allStatsRanges() {
    return {StatsRange::week, StatsRange::month};
}

namespace stats {

QList<DayCount> chartData(const PostureLog& log, StatsRange range, const QDateTime& now) {
    const int daysBefore = range == StatsRange::week ? 6 : 29;
    const QDate first = now.toLocalTime().date().addDays(-daysBefore);
    QList<DayCount> days;
    days.reserve(daysBefore + 1);
    for (int offset = 0; offset <= daysBefore; ++offset) {
        // Date arithmetic: one calendar day per step whatever the clocks do.
        const QDateTime start = first.addDays(offset).startOfDay();
        days.append({start, static_cast<int>(log.eventsForDate(start).size())});
    }
    return days;
}

QString todaySummary(int count, double totalSeconds) {
    // Two texts, so that English reads "1 slouch" and "2 slouches" without a translation;
    // a translation gives each its plural forms.
    const QString text =
        count == 1
            ? QCoreApplication::translate("PostureStats", "Today: %n slouch, %1", "", count)
            : QCoreApplication::translate("PostureStats", "Today: %n slouches, %1", "", count);
    return text.arg(formattedDuration(totalSeconds));
}

QString formattedDuration(double seconds) {
    // Truncated toward zero; NaN reads as nothing, the infinities as the largest whole number.
    if (std::isnan(seconds)) {
        seconds = 0.0;
    }
    const double limit = 9.2e18; // inside qint64
    const auto whole = static_cast<qint64>(std::clamp(seconds, -limit, limit));
    const qint64 minutes = whole / 60;
    if (minutes >= 1) {
        return QCoreApplication::translate("PostureStats", "%1m").arg(minutes);
    }
    return QCoreApplication::translate("PostureStats", "%1s").arg(whole);
}

double barHeight(int count, int maxCount, double totalHeight) {
    if (count == 0) {
        return 2.0;
    }
    const double ratio = static_cast<double>(count) / static_cast<double>(std::max(maxCount, 1));
    return std::max(ratio * totalHeight, 4.0);
}

QColor barColor(int count) {
    QColor color = count == 0 ? theme::gray() : theme::red();
    color.setAlphaF(count == 0 ? 0.2f
                               : static_cast<float>(
                                     0.7 + 0.3 * std::min(static_cast<double>(count) / 10.0, 1.0)));
    return color;
}

QString dayLabel(const QDateTime& date, StatsRange range, const QLocale& locale) {
    const QDate day = date.toLocalTime().date();
    if (!day.isValid()) {
        return {};
    }
    if (range == StatsRange::month) {
        return locale.toString(day, u"d");
    }
    // The first letter as a reader sees it (one grapheme, even when it takes several code
    // units).
    const QString weekday = locale.toString(day, u"ddd");
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, weekday);
    const qsizetype end = finder.toNextBoundary();
    return end > 0 ? weekday.left(end) : weekday;
}

QString chartTitle(StatsRange range) {
    return range == StatsRange::week
               ? QCoreApplication::translate("PostureStats", "Slouches per day, last 7 days")
               : QCoreApplication::translate("PostureStats", "Slouches per day, last 30 days");
}

QString chartDescription(const QList<DayCount>& days, const QLocale& locale) {
    QStringList parts;
    parts.reserve(days.size());
    for (const DayCount& day : days) {
        const QString text =
            day.count == 1
                ? QCoreApplication::translate("PostureStats", "%1: %n slouch", "", day.count)
                : QCoreApplication::translate("PostureStats", "%1: %n slouches", "", day.count);
        parts.append(text.arg(locale.toString(day.date.toLocalTime().date(), u"ddd d MMM")));
    }
    return parts.join(QStringLiteral("; "));
}

QList<QRectF> barRects(const QList<DayCount>& days, double width, double height) {
    QList<QRectF> rects;
    if (days.isEmpty()) {
        return rects;
    }
    int maxCount = 1;
    for (const DayCount& day : days) {
        maxCount = std::max(maxCount, day.count);
    }
    const auto n = static_cast<double>(days.size());
    const double barWidth = std::max(1.0, (width - barSpacing * (n - 1.0)) / n);
    const double bottom = height - labelHeight - 2.0;
    const double tallest = height - 16.0;
    rects.reserve(days.size());
    for (qsizetype i = 0; i < days.size(); ++i) {
        const double h = barHeight(days[i].count, maxCount, tallest);
        rects.append(
            QRectF(static_cast<double>(i) * (barWidth + barSpacing), bottom - h, barWidth, h));
    }
    return rects;
}

} // namespace stats

namespace {

// The summary row: the chart icon in blue, then today's figures in secondary text. Colours
// are read from the theme when painting, so they follow a theme change.
class SummaryRow : public QWidget {
public:
    SummaryRow(std::function<QString()> text, QWidget* parent)
        : QWidget(parent), m_text(std::move(text)) {
        setFont(theme::font(theme::TextRole::caption));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {iconSize() + spacing() + metrics.horizontalAdvance(m_text()), metrics.height()};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const int side = iconSize();
        const QRect iconRect(0, (height() - side) / 2, side, side);
        if (m_icon.deviceIndependentSize() != QSizeF(side, side) ||
            m_icon.devicePixelRatio() != devicePixelRatioF()) {
            m_icon = theme::iconPixmap(QStringLiteral("chart.bar.fill"), theme::blue(), side,
                                       devicePixelRatioF());
        }
        painter.drawPixmap(iconRect, m_icon);
        painter.setPen(theme::secondaryText(palette()));
        painter.drawText(rect().adjusted(side + spacing(), 0, 0, 0),
                         Qt::AlignLeft | Qt::AlignVCenter, m_text());
    }

private:
    int iconSize() const { return QFontMetrics(font()).ascent(); }
    int spacing() const { return 6; }

    std::function<QString()> m_text;
    QPixmap m_icon;
};

// One bar per day, a rounded rectangle resting on its label.
class BarChart : public QWidget {
public:
    BarChart(std::function<QList<DayCount>()> days, std::function<StatsRange()> range,
             QWidget* parent)
        : QWidget(parent), m_data(std::move(days)), m_range(std::move(range)) {
        setFixedHeight(static_cast<int>(stats::chartHeight));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override { return {296, static_cast<int>(stats::chartHeight)}; }

protected:
    void paintEvent(QPaintEvent*) override {
        const QList<DayCount> days = m_data();
        const QList<QRectF> bars = stats::barRects(days, width(), height());
        const StatsRange range = m_range();
        const QLocale locale;

        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QFont labelFont = theme::font(theme::TextRole::caption);
        labelFont.setPointSizeF(stats::labelFontPoints);
        painter.setFont(labelFont);
        for (qsizetype i = 0; i < days.size(); ++i) {
            const QRectF& bar = bars[i];
            const double radius = std::min({2.0, bar.width() / 2.0, bar.height() / 2.0});
            QPainterPath path;
            path.addRoundedRect(bar, radius, radius);
            painter.fillPath(path, stats::barColor(days[i].count));

            // Centred under the bar; a label wider than its bar and gap (two digits under a
            // month's narrow bars) is squeezed sideways rather than run into its neighbours.
            const QString text = stats::dayLabel(days[i].date, range, locale);
            const double textWidth = painter.fontMetrics().horizontalAdvance(text);
            const double room = bar.width() + stats::barSpacing / 2.0;
            painter.save();
            painter.translate(bar.center().x(), height() - stats::labelHeight);
            if (textWidth > room) {
                painter.scale(room / textWidth, 1.0);
            }
            painter.setPen(theme::secondaryText(palette()));
            const double labelWidth = std::max(textWidth, room) + 2.0;
            painter.drawText(QRectF(-labelWidth / 2.0, 0.0, labelWidth, stats::labelHeight),
                             Qt::AlignHCenter | Qt::AlignVCenter, text);
            painter.restore();
        }
    }

private:
    std::function<QList<DayCount>()> m_data;
    std::function<StatsRange()> m_range;
};

} // namespace

PostureStatsView::PostureStatsView(PostureLog* log, QWidget* parent) : QWidget(parent), m_log(log) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    m_summary = new SummaryRow([this] { return summaryText(); }, this);
    m_summary->setObjectName(QStringLiteral("summary"));
    column->addWidget(m_summary);

    // A two-segment switch; its title "Range" is for assistive technology only.
    auto* segments = new QWidget(this);
    segments->setObjectName(QStringLiteral("range"));
    auto* row = new QHBoxLayout(segments);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto* group = new QButtonGroup(segments);
    for (StatsRange range : allStatsRanges()) {
        auto* button = new QToolButton(segments);
        button->setText(label(range));
        button->setCheckable(true);
        button->setChecked(range == m_selectedRange);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button);
        row->addWidget(button);
        m_segments.append(button);
        connect(button, &QToolButton::clicked, this, [this, range] { setSelectedRange(range); });
    }
    theme::styleAsSegmentedControl(segments);
    a11y::makeSegmentGroup(segments, group, QCoreApplication::translate("PostureStats", "Range"));
    column->addWidget(segments);

    m_chart = new BarChart(
        [this] {
            return m_log ? stats::chartData(*m_log, m_selectedRange, m_log->now())
                         : QList<DayCount>();
        },
        [this] { return m_selectedRange; }, this);
    m_chart->setObjectName(QStringLiteral("chart"));
    column->addWidget(m_chart);

    // Screen readers read the painted texts and bars as text, computed when they ask.
    a11y::describe(m_summary, QAccessible::StaticText, [this] { return summaryText(); });
    a11y::describe(
        m_chart, QAccessible::Chart, [this] { return stats::chartTitle(m_selectedRange); },
        [this] {
            return m_log ? stats::chartDescription(
                               stats::chartData(*m_log, m_selectedRange, m_log->now()))
                         : QString();
        });

    if (m_log) {
        // Painting happens later, after the log holds the new list.
        connect(m_log, &PostureLog::eventsChanged, this, [this] {
            m_summary->update();
            a11y::notify(m_summary, QAccessible::NameChanged);
            chartChanged();
        });
    }
}

void PostureStatsView::chartChanged() {
    m_chart->update();
    a11y::notify(m_chart, QAccessible::DescriptionChanged);
}

void PostureStatsView::setSelectedRange(StatsRange range) {
    m_selectedRange = range;
    const QList<StatsRange> ranges = allStatsRanges();
    for (qsizetype i = 0; i < m_segments.size(); ++i) {
        m_segments[i]->setChecked(ranges[i] == range);
    }
    a11y::notify(m_chart, QAccessible::NameChanged);
    chartChanged();
}

QString PostureStatsView::summaryText() const {
    if (!m_log) {
        return stats::todaySummary(0, 0.0);
    }
    return stats::todaySummary(m_log->todayCount(), m_log->todayTotalDuration());
}

QSize PostureStatsView::sizeHint() const {
    return {296, QWidget::sizeHint().height()};
}

} // namespace quorvel
