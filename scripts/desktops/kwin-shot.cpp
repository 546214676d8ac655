// A screenshot of one KWin output, through KWin's ScreenShot2 D-Bus interface (the image
// comes back through a pipe). Usage: kwin-shot OUTPUT FILE.png
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QImage>
#include <QVariantMap>
#include <cstdio>
#include <memory>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kwin-shot OUTPUT FILE.png\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("kwin-shot: pipe");
        return 1;
    }
    // The message holds a copy of the pipe's write end: it must be gone before the reader
    // can see the end of the image.
    auto call = std::make_unique<QDBusMessage>(QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.KWin.ScreenShot2"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
        QStringLiteral("org.kde.KWin.ScreenShot2"), QStringLiteral("CaptureScreen")));
    *call << QString::fromLocal8Bit(argv[1]) << QVariantMap{{QStringLiteral("native-resolution"), true}}
         << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
    close(fds[1]);
    // KWin may write the whole image before it replies: read while the call waits.
    QByteArray data;
    std::thread reader([&data, fd = fds[0]] {
        char buffer[65536];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            data.append(buffer, n);
        }
        close(fd);
    });
    const QDBusReply<QVariantMap> reply = QDBusConnection::sessionBus().call(*call, QDBus::Block, 10000);
    call.reset();
    if (!reply.isValid()) {
        std::fprintf(stderr, "kwin-shot: %s\n", qPrintable(reply.error().message()));
        reader.detach();
        return 1;
    }
    reader.join();
    const QVariantMap r = reply.value();
    const int width = r.value(QStringLiteral("width")).toInt();
    const int height = r.value(QStringLiteral("height")).toInt();
    const qsizetype stride = r.value(QStringLiteral("stride")).toInt();
    const auto format = QImage::Format(r.value(QStringLiteral("format")).toInt());
    if (width <= 0 || height <= 0 || data.size() < stride * height) {
        std::fprintf(stderr, "kwin-shot: short image (%dx%d, %lld bytes)\n", width, height,
                     static_cast<long long>(data.size()));
        return 1;
    }
    const QImage image(reinterpret_cast<const uchar *>(data.constData()), width, height, stride, format);
    return image.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
