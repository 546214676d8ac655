// The panel's hold on the keyboard and pointer against a real X server: a private Xvfb, a
// user's window with the input focus, and a desktop shell's menu that still holds both when
// the panel opens and lets go a moment later.
#include "menubar/PopupGrab.h"
#include "platform/x11/Xcb.h"
#include "support/XClient.h"
#include "support/Xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>

using namespace quorvel;
using test::xdotool;

class TestMenuBarX11 : public QObject {
    Q_OBJECT

    QByteArray m_display = qgetenv("DISPLAY");

private Q_SLOTS:
    // The menu lets go before Qt even tries, just after, and well after; then Escape or a
    // click outside (on the user's window) closes the panel, and the panel leaves nothing held.
    void closesAfterAGrabItOpenedUnder_data() {
        QTest::addColumn<int>("heldForMs");
        QTest::addColumn<QString>("dismissal");
        for (const int ms : {0, 20, 300}) {
            for (const QString& dismissal : {QStringLiteral("Escape"), QStringLiteral("click")}) {
                QTest::addRow("menu lets go after %d ms, %s", ms, qPrintable(dismissal))
                    << ms << dismissal;
            }
        }
    }
    void closesAfterAGrabItOpenedUnder() {
        QFETCH(int, heldForMs);
        QFETCH(QString, dismissal);
        test::XClient user(m_display);
        test::XClient shellMenu(m_display);
        test::XClient other(m_display);
        user.takeFocus();
        QCOMPARE(shellMenu.grabKeyboard(), int(XCB_GRAB_STATUS_SUCCESS));
        QCOMPARE(shellMenu.grabPointer(), int(XCB_GRAB_STATUS_SUCCESS));

        QWidget panel(nullptr, Qt::Popup | Qt::FramelessWindowHint);
        const PopupGrab grab(&panel);
        panel.setGeometry(600, 300, 200, 150);
        xdotool("mousemove 700 375");
        panel.show();
        QElapsedTimer held;
        held.start();
        if (heldForMs > 0) {
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            QVERIFY(!grab.isHeld());
            QTest::qWait(std::max<int>(0, heldForMs - int(held.elapsed())));
        }
        shellMenu.releasePointer();
        shellMenu.releaseKeyboard();
        QTRY_COMPARE_WITH_TIMEOUT(x11::keyboardGrabbedByAnother(other.connection),
                                  std::optional(true), 5000);
        QVERIFY(grab.isHeld());

        if (dismissal == QLatin1String("Escape")) {
            xdotool("key Escape");
        } else {
            xdotool("mousemove 100 100 click 1");
        }
        QTRY_VERIFY_WITH_TIMEOUT(!panel.isVisible(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(x11::keyboardGrabbedByAnother(other.connection),
                                  std::optional(false), 5000);
        QCOMPARE(other.grabPointer(), int(XCB_GRAB_STATUS_SUCCESS));
        other.releasePointer();
    }
};

int main(int argc, char** argv) {
    return test::execOnXvfb<TestMenuBarX11>(argc, argv);
}

#include "tst_menubar_x11.moc"
