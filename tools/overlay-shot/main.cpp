// quorvel-overlay-shot: puts one overlay on every screen through OverlayWindowController
// and reports where its windows went, so a script can photograph them and press keys.
//
//   quorvel-overlay-shot --kind water [--hold-ms 20000]   show, report, wait for a dismissal
//   quorvel-overlay-shot --icons DIR                      the three icons as large PNGs
//   quorvel-overlay-shot --bench [WxH]                    milliseconds to draw one frame

#include "overlay/OverlayView.h"
#include "overlay/OverlayWindowController.h"
#include "settings/SettingsManager.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QWindow>
#include <cstdio>

using namespace quorvel;

namespace {

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

QString rect(const QRect& r) {
    return QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

int renderIcons(const QString& dir) {
    QDir().mkpath(dir);
    for (OverlayType type : allOverlayTypes) {
        QSvgRenderer svg(iconResourcePath(iconName(type)));
        QImage image(256, 256, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(0x30, 0x30, 0x40));
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p, QRectF(16, 16, 224, 224));
        p.end();
        // Tinted the way the overlay tints it.
        const QString path = QDir(dir).filePath(iconName(type) + QStringLiteral(".png"));
        image.save(path);
        out() << path << Qt::endl;
    }
    return 0;
}

int bench(const QString& size) {
    const QStringList wh = size.split(QLatin1Char('x'));
    const QSize s(wh.value(0).toInt(), wh.value(1).toInt());
    OverlayView view(OverlayType::water, {}, OverlayViewTimings{0, 0, 0});
    view.resize(s.isValid() ? s : QSize(1920, 1080));
    view.setContentProgress(1.0);
    QImage frame(view.size(), QImage::Format_ARGB32_Premultiplied);
    constexpr int frames = 120;
    view.render(&frame); // first frame lays out and caches the column
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i) {
        view.setGradientProgress(static_cast<double>(i % 60) / 59.0);
        view.setContentProgress(i < 60 ? 0.5 + static_cast<double>(i) / 120.0 : 1.0);
        view.render(&frame);
    }
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6 / frames;
    out() << "overlay frame " << view.width() << "x" << view.height() << ": "
          << QString::number(ms, 'f', 2) << " ms (" << frames << " frames, mean)" << Qt::endl;
    return 0;
}

void report(const OverlayWindowController& controller) {
    const auto screens = QGuiApplication::screens();
    out() << "platform " << QGuiApplication::platformName() << ", " << screens.size()
          << " screen(s)" << Qt::endl;
    for (QScreen* screen : screens) {
        out() << "screen " << screen->name() << " " << rect(screen->geometry()) << Qt::endl;
    }
    const auto panels = controller.panels();
    for (qsizetype i = 0; i < panels.size(); ++i) {
        OverlayView* panel = panels[i];
        QWindow* window = panel->windowHandle();
        out() << "window " << i << " on " << (window ? window->screen()->name() : QString()) << " "
              << rect(panel->geometry()) << " fullscreen=" << panel->isFullScreen()
              << " opacity=" << panel->windowOpacity() << " active=" << panel->isActiveWindow()
              << " winid=0x" << QString::number(panel->winId(), 16) << Qt::endl;
    }
    out() << "escape grabbed=" << controller.escapeKeyGrabbed()
          << " focus window of this app=" << (QGuiApplication::focusWindow() != nullptr)
          << Qt::endl;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption kindOption("kind", "slouch, stand or water", "kind", "slouch");
    const QCommandLineOption holdOption("hold-ms", "quit after this long", "ms", "20000");
    const QCommandLineOption readyOption("ready-ms", "report after this long", "ms", "1500");
    const QCommandLineOption iconsOption("icons", "write the icons to a folder", "dir");
    const QCommandLineOption benchOption("bench", "time one frame", "WxH");
    parser.addOptions({kindOption, holdOption, readyOption, iconsOption, benchOption});
    parser.process(app);

    if (parser.isSet(iconsOption)) {
        return renderIcons(parser.value(iconsOption));
    }
    if (parser.isSet(benchOption)) {
        return bench(parser.value(benchOption));
    }
    const auto kind = overlayTypeFromRawValue(parser.value(kindOption));
    if (!kind) {
        std::fprintf(stderr, "unknown kind: %s\n", qPrintable(parser.value(kindOption)));
        return 2;
    }

    // A private settings store: the user's own is not touched.
    QTemporaryDir dir;
    SettingsManager settings(dir.filePath(QStringLiteral("Quorvel.conf")));
    OverlayWindowController controller(settings);
    controller.onDismiss = [](OverlayType type) {
        out() << "DISMISSED " << rawValue(type) << Qt::endl;
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    };
    controller.show(*kind, 0);
    if (!controller.isShowing()) {
        out() << "no screen to show on" << Qt::endl;
        return 1;
    }
    QTimer::singleShot(parser.value(readyOption).toInt(), &app, [&controller] {
        report(controller);
        out() << "READY" << Qt::endl;
    });
    QTimer::singleShot(parser.value(holdOption).toInt(), &app, [] {
        out() << "TIMEOUT" << Qt::endl;
        QCoreApplication::exit(3);
    });
    return app.exec();
}
