#include "stats/PostureLog.h"
#include "stats/PostureStatsView.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

using namespace quorvel;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: stats-snapshot out.png [week|month]\n";
        return 2;
    }
    QTemporaryDir dir;
    const QDateTime now = QDateTime::currentDateTime();
    PostureLog log(dir.filePath(QStringLiteral("posture-log.json")), [now] { return now; });
    QRandomGenerator random(1);
    for (int day = 29; day >= 0; --day) {
        const int events = day % 7 == 3 ? 0 : random.bounded(0, 14);
        for (int i = 0; i < events; ++i) {
            log.record(PostureEvent(now.addDays(-day).addSecs(-i * 600), random.bounded(20, 200)));
        }
    }
    PostureStatsView view(&log);
    if (args.value(2) == QLatin1String("month")) {
        view.setSelectedRange(StatsRange::month);
    }
    view.setContentsMargins(12, 12, 12, 12);
    view.resize(320, view.sizeHint().height());
    view.show();
    const bool saved = view.grab().save(args[1]);
    QTextStream(stdout) << (saved ? "wrote " : "could not write ") << args[1] << "\n";
    return saved ? 0 : 1;
}
