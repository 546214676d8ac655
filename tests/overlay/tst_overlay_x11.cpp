// The Escape grab against a real X server: a private Xvfb, and a second client of it that
// holds the keyboard focus and reports every key it gets (the user's application).
#include "overlay/OverlayWindowController.h"
#include "platform/EscapeKeyGrab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

#include <QApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>
#include <cstdio>
#include <xcb/xcb.h>

using namespace quorvel;
using test::xdotool;

namespace {

// The user's application: prints its window id, then each key pressed in it.
class Recorder : public QWidget {
    void keyPressEvent(QKeyEvent* event) override {
        std::printf("%s\n", qPrintable(QKeySequence(event->key()).toString()));
        std::fflush(stdout);
    }
};

} // namespace

class TestOverlayX11 : public QObject {
    Q_OBJECT

    QProcess m_recorder;
    QStringList m_keys; // as the recorder reports them

    // Types `keys`, then "x"; gives what the recorder got before the "x".
    QString type(const QString& keys) {
        m_keys.clear();
        xdotool("key " + keys + " x");
        (void)QTest::qWaitFor([this] { return m_keys.contains("X"); }, 30000);
        return m_keys.mid(0, m_keys.indexOf("X")).join(' ');
    }

private Q_SLOTS:
    void initTestCase() {
        connect(&m_recorder, &QProcess::readyReadStandardOutput, this, [this] {
            while (m_recorder.canReadLine()) {
                m_keys.append(QString::fromUtf8(m_recorder.readLine()).trimmed());
            }
        });
        m_recorder.start(QCoreApplication::applicationFilePath(), {"--recorder"});
        QTRY_VERIFY_WITH_TIMEOUT(!m_keys.isEmpty(), 30000);
        QCOMPARE(xdotool("windowfocus --sync " + m_keys.first()), 0);
    }

    void cleanupTestCase() {
        m_recorder.kill();
        m_recorder.waitForFinished(30000);
    }

    void escapeIsTakenOnlyWhileAnOverlayIsUp() {
        QCOMPARE(type("Escape"), "Esc");
        test::TempFolder dir;
        SettingsManager settings(dir.path("Quorvel.conf"));
        QList<OverlayType> dismissed;
        {
            OverlayWindowController controller(settings, nullptr, OverlayTimings{0, 0, {0, 0, 0}});
            controller.onDismiss = [&dismissed](OverlayType t) {
                dismissed.append(t);
            };
            controller.show(OverlayType::stand, 0);
            controller.show(OverlayType::water, 0);
            QCOMPARE(type("a Escape b"), "A B");
            QTRY_COMPARE_WITH_TIMEOUT(dismissed, QList{OverlayType::stand}, 30000);
            QCOMPARE(type("Escape"), ""); // the water overlay, shown next
            QTRY_COMPARE_WITH_TIMEOUT(dismissed.size(), 2, 30000);
            QCOMPARE(type("Escape"), "Esc");
            controller.show(OverlayType::slouch, 0);
            QVERIFY(controller.escapeKeyGrabbed());
        }
        QCOMPARE(type("Escape"), "Esc");
        QCOMPARE(dismissed.size(), 2);
    }

    // Another client unmapping or destroying an overlay window (Qt tells nothing of that for
    // override-redirect windows) dismisses it, once, and frees the queue and Escape.
    void unmappedOrDestroyedByAnotherClient() {
        test::TempFolder dir;
        SettingsManager settings(dir.path("Quorvel.conf"));
        OverlayWindowController controller(settings, nullptr, OverlayTimings{0, 0, {0, 0, 0}});
        QList<OverlayType> dismissed;
        controller.onDismiss = [&dismissed](OverlayType t) {
            dismissed.append(t);
        };
        controller.show(OverlayType::stand, 0);
        controller.show(OverlayType::water, 0);
        QCOMPARE(xdotool("windowunmap " + QString::number(controller.panels()[0]->winId())), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dismissed, QList{OverlayType::stand}, 30000);
        QCOMPARE(controller.currentType(), OverlayType::water);
        xcb_connection_t* other = xcb_connect(nullptr, nullptr);
        xcb_destroy_window(other, xcb_window_t(controller.panels()[0]->winId()));
        xcb_flush(other);
        xcb_disconnect(other);
        QTRY_COMPARE_WITH_TIMEOUT(dismissed.size(), 2, 30000);
        QVERIFY(!controller.isShowing() && !controller.escapeKeyGrabbed());
        QCOMPARE(type("Escape"), "Esc");
    }

    // Only a fresh press counts: not the repeats of a held key, nor a key held down
    // before the grab, until it has gone up.
    void heldEscapeDismissesOnce() {
        EscapeKeyGrab grab;
        QSignalSpy pressed(&grab, &EscapeKeyGrab::escapePressed);
        QCOMPARE(xdotool("keydown Escape"), 0);
        QVERIFY(grab.grab() && grab.isEscapeHeld());
        QCOMPARE(xdotool("keyup Escape"), 0); // seen by the recorder only
        QTRY_VERIFY_WITH_TIMEOUT(!grab.isEscapeHeld(), 30000);

        // Server times: a press; a repeat as a press alone; a repeat as a release and a
        // press at once; the release; a fresh press.
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_key_press_event_t key{};
        key.detail = grab.keycodes().value(0);
        key.event = xcb_setup_roots_iterator(xcb_get_setup(x11->connection())).data->root;
        const int events[][3] = {{XCB_KEY_PRESS, 10, 1},   {XCB_KEY_PRESS, 40, 1},
                                 {XCB_KEY_RELEASE, 70, 1}, {XCB_KEY_PRESS, 70, 1},
                                 {XCB_KEY_RELEASE, 90, 1}, {XCB_KEY_PRESS, 300, 2}};
        for (const auto& [kind, time, presses] : events) {
            key.response_type = static_cast<quint8>(kind);
            key.time = static_cast<xcb_timestamp_t>(time);
            QVERIFY(grab.nativeEventFilter("xcb_generic_event_t", &key, nullptr));
            QCOMPARE(pressed.size(), presses);
        }
    }
};

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], "--recorder") == 0) {
        QApplication app(argc, argv);
        Recorder window;
        window.setGeometry(100, 100, 300, 200);
        window.show();
        (void)QTest::qWaitForWindowExposed(&window, 30000);
        std::printf("%llu\n", static_cast<unsigned long long>(window.winId()));
        std::fflush(stdout);
        return QApplication::exec();
    }
    return test::execOnXvfb<TestOverlayX11>(argc, argv);
}

#include "tst_overlay_x11.moc"
