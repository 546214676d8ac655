// Whether a screen locker holds the keyboard, asked of a real X server: a private Xvfb, and
// a second client of it that takes the keyboard as i3lock does.
#include "presence/IdleTime.h"
#include "support/Xvfb.h"

#include <QTest>
#include <cstdlib>
#include <xcb/xcb.h>

using namespace quorvel;

namespace {

struct Client {
    xcb_connection_t* connection;
    xcb_window_t root = 0;
    explicit Client(const QByteArray& display)
        : connection(xcb_connect(display.constData(), nullptr)) {
        if (xcb_connection_has_error(connection) == 0) {
            root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        }
    }
    ~Client() { xcb_disconnect(connection); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // What a grab of the keyboard answers (XCB_GRAB_STATUS_*).
    int grabKeyboard() {
        xcb_grab_keyboard_reply_t* reply =
            xcb_grab_keyboard_reply(connection,
                                    xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr);
        const int status = reply != nullptr ? reply->status : -1;
        std::free(reply);
        return status;
    }
    void releaseKeyboard() {
        xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
        // A round trip: the server has acted on the release before anyone asks again.
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
};

} // namespace

class TestPresenceX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Free: the look gives the keyboard straight back (the locker can take it next). Held
    // by the locker: seen. Given back: free again.
    void aLockerHoldsTheKeyboard() {
        const test::Xvfb xvfb;
        QVERIFY(!xvfb.display.isEmpty());
        Client app(xvfb.display);
        Client locker(xvfb.display);
        QVERIFY(app.root != 0 && locker.root != 0);

        QCOMPARE(keyboardGrabbedByAnother(app.connection), std::optional(false));
        QCOMPARE(locker.grabKeyboard(), int(XCB_GRAB_STATUS_SUCCESS));
        QCOMPARE(keyboardGrabbedByAnother(app.connection), std::optional(true));
        locker.releaseKeyboard();
        QCOMPARE(keyboardGrabbedByAnother(app.connection), std::optional(false));
    }
};

QTEST_GUILESS_MAIN(TestPresenceX11)
#include "tst_presence_x11.moc"
