#include "stats/PostureLog.h"
#include "stats/PostureStatsView.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

using namespace quorvel;

namespace {

template <typename F> double millis(F&& work, int repeat = 1) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < repeat; ++i) {
        work();
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6 / repeat;
}

void run(int perDay, QTextStream& out) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("posture-log.json"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<PostureEvent> events;
    const qint64 step = 86400 / perDay;
    for (qint64 s = 89LL * 86400; s > 0; s -= step) {
        events.append(PostureEvent(now.addSecs(-s), 42.5));
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(postureLogFormat::encode(events)) < 0) {
        out << "cannot write " << path << "\n";
        return;
    }
    file.close();

    std::unique_ptr<PostureLog> log;
    const double load =
        millis([&] { log = std::make_unique<PostureLog>(path, [now] { return now; }); });
    const double record = millis([&] { log->record(PostureEvent(now, 10.0)); }, 5);
    const double week = millis([&] { stats::chartData(*log, StatsRange::week, now); }, 5);
    const double month = millis([&] { stats::chartData(*log, StatsRange::month, now); }, 5);
    const double summary =
        millis([&] { stats::todaySummary(log->todayCount(), log->todayTotalDuration()); }, 5);
    out << QStringLiteral("%1 events/day: %2 events, file %3 KiB | load %4 ms | record %5 ms | "
                          "week chart %6 ms | month chart %7 ms | summary %8 ms\n")
               .arg(perDay)
               .arg(log->events().size())
               .arg(QFileInfo(path).size() / 1024)
               .arg(load, 0, 'f', 2)
               .arg(record, 0, 'f', 2)
               .arg(week, 0, 'f', 2)
               .arg(month, 0, 'f', 2)
               .arg(summary, 0, 'f', 2);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QList<int> rates;
    for (const QString& arg : app.arguments().mid(1)) {
        rates.append(arg.toInt());
    }
    if (rates.isEmpty()) {
        rates = {10, 100, 1440};
    }
    for (int perDay : rates) {
        if (perDay > 0) {
            run(perDay, out);
        }
    }
    return 0;
}
