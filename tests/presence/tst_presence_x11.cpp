// Whether a screen locker holds the keyboard, asked of a real X server: a private Xvfb, and
// a second client of it that takes the keyboard as i3lock does.
#include "platform/x11/Xcb.h"
#include "support/XClient.h"
#include "support/Xvfb.h"

#include <QTest>

using namespace quorvel;

class TestPresenceX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Free: the look gives the keyboard straight back (the locker can take it next). Held
    // by the locker: seen. Given back: free again.
    void aLockerHoldsTheKeyboard() {
        const test::Xvfb xvfb;
        QVERIFY(!xvfb.display.isEmpty());
        test::XClient app(xvfb.display);
        test::XClient locker(xvfb.display);
        QVERIFY(app.root != 0 && locker.root != 0);

        QCOMPARE(x11::keyboardGrabbedByAnother(app.connection), std::optional(false));
        QCOMPARE(locker.grabKeyboard(), int(XCB_GRAB_STATUS_SUCCESS));
        QCOMPARE(x11::keyboardGrabbedByAnother(app.connection), std::optional(true));
        locker.releaseKeyboard();
        QCOMPARE(x11::keyboardGrabbedByAnother(app.connection), std::optional(false));
    }
};

QTEST_GUILESS_MAIN(TestPresenceX11)
#include "tst_presence_x11.moc"
