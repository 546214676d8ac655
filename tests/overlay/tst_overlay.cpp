#include "overlay/OverlayGradients.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindowController.h"
#include "settings/SettingsManager.h"
#include "support/FakeScreens.h"
#include "support/FakeTimers.h"
#include "support/QuietOffscreen.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTest>
#include <QWindow>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

// A controller on two stand-in screens, fades painted (instant by default), and time moved
// by hand.
struct Rig {
    TempFolder dir;
    SettingsManager settings{dir.path("Quorvel.conf")};
    FakeTimers timers;
    FakeScreens* screens = new FakeScreens;
    OverlayWindowController controller;
    QList<OverlayType> dismissed;

    explicit Rig(int fadeOutMs = 0, int screenCount = 2, int fadeInMs = 0)
        : controller(settings, std::unique_ptr<ScreenProvider>(screens),
                     OverlayTimings{fadeInMs, fadeOutMs, {0, 0, 0}, true}, timers.factory()) {
        for (int i = 0; i < screenCount; ++i) {
            screens->list.append(
                OverlayScreen{quintptr(i + 1), QRect(i * 1280, 0, 1280 - i * 256, 800), nullptr});
        }
        controller.onDismiss = [this](OverlayType t) {
            dismissed.append(t);
        };
    }
};

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QImage renderView(OverlayView& view) {
    QImage image(view.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

bool near(QRgb pixel, const QColor& colour, int alpha) {
    return qAbs(qRed(pixel) - colour.red()) <= 3 && qAbs(qGreen(pixel) - colour.green()) <= 3 &&
           qAbs(qBlue(pixel) - colour.blue()) <= 3 && qAbs(qAlpha(pixel) - alpha) <= 2;
}

} // namespace

class TestOverlay : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { silenceOffscreenWindowWarnings(); }

    // Where windows have no opacity of their own, the view paints itself at its fade opacity.
    void viewPaintsItsFade() {
        OverlayView view(OverlayType::stand, {}, {0, 0, 0});
        view.resize(1280, 800);
        view.setContentProgress(1.0);
        const QColor corner = gradientColors(OverlayType::stand)[0];
        const int alpha = qRound(255 * OverlayView::backgroundOpacity);
        QVERIFY(near(renderView(view).pixel(1, 1), corner, alpha));
        view.setFadeOpacity(0.5);
        QVERIFY(near(renderView(view).pixel(1, 1), corner, alpha / 2));
    }

    // Without stand-ins, the real screens are covered in their order.
    void oneWindowPerScreen() {
        Rig rig;
        OverlayWindowController real(rig.settings);
        real.show(OverlayType::stand, 0);
        const auto screens = QGuiApplication::screens();
        QCOMPARE(real.panels().size(), screens.size());
        for (qsizetype i = 0; i < screens.size(); ++i) {
            QCOMPARE(real.panels()[i]->windowHandle()->screen(), screens[i]);
            QCOMPARE(real.panels()[i]->geometry(), screens[i]->geometry());
        }
    }

    // Closed, hidden or minimised by anyone else (Alt+F4, the window manager): that ends
    // the overlay like a click, and the next one comes up, with the auto-dismiss setting
    // of that moment (not the time it was asked with).
    void panelClosedFromOutside_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("close") << 0;
        QTest::newRow("hide") << 1;
        QTest::newRow("minimise") << 2;
    }
    void panelClosedFromOutside() {
        QFETCH(int, how);
        Rig rig;
        rig.controller.show(OverlayType::stand, 0);
        rig.controller.show(OverlayType::water, 30);
        rig.controller.show(OverlayType::water, 30);
        rig.settings.setAutoDismissTimeout(15);
        OverlayView* panel = rig.controller.panels()[1];
        how == 0   ? void(panel->close())
        : how == 1 ? panel->hide()
                   : panel->setWindowState(Qt::WindowMinimized);
        QCOMPARE(rig.dismissed, QList{OverlayType::stand});
        QCOMPARE(rig.controller.currentType(), OverlayType::water);
        QVERIFY(rig.controller.overlayQueue().isEmpty()); // one of a kind waits
        rig.timers.advance(14999ms);
        QCOMPARE(rig.dismissed.size(), 1);
        rig.timers.advance(1ms);
        QCOMPARE(rig.dismissed, (QList{OverlayType::stand, OverlayType::water}));
    }

    void clickCancelsThePendingAutoDismissal() {
        Rig rig;
        rig.controller.show(OverlayType::water, 30);
        rig.timers.advance(5s);
        // One click on the second screen takes down both.
        QTest::mouseClick(rig.controller.panels()[1], Qt::LeftButton, {}, QPoint(2, 2));
        QVERIFY(rig.controller.panels().isEmpty());
        QCOMPARE(rig.timers.activeCount(), 0);
        rig.timers.advance(60s);
        QCOMPARE(rig.dismissed, QList{OverlayType::water});
    }

    void secondDismissDuringFadeOutDoesNothing() {
        Rig rig(/*fadeOutMs=*/20);
        rig.controller.show(OverlayType::slouch, 0);
        rig.controller.show(OverlayType::stand, 0);
        rig.controller.show(OverlayType::water, 0);
        const auto panels = rig.controller.panels();
        rig.controller.dismiss();
        QVERIFY(rig.controller.isFadingOut());
        QVERIFY(rig.controller.isShowing());
        rig.controller.dismiss();
        QTest::mouseClick(panels[0], Qt::LeftButton);
        rig.controller.show(OverlayType::slouch, 0); // still queued while fading
        QTRY_COMPARE(rig.controller.currentType(), OverlayType::stand);
        QCOMPARE(rig.dismissed, QList{OverlayType::slouch});
        QCOMPARE(rig.controller.overlayQueue(), (QList{OverlayType::water, OverlayType::slouch}));
        flushDeletes();
        QCOMPARE(rig.controller.panels().size(), 2);
    }

    void escapeDismissesOtherKeysPassThrough() {
        Rig rig;
        rig.controller.show(OverlayType::slouch, 0);
        QVERIFY(!rig.controller.escapeKeyGrabbed()); // no X11 here: the windows take it
        OverlayView* panel = rig.controller.panels()[0];
        QTest::keyClicks(panel, "a ");
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(panel, &repeat); // Escape held down since before
        QVERIFY(rig.controller.isShowing());
        QTest::keyClick(panel, Qt::Key_Escape);
        QVERIFY(!rig.controller.isShowing());
        QCOMPARE(rig.dismissed, QList{OverlayType::slouch});
    }

    // Where windows have no opacity of their own (Wayland), the views paint the fades.
    void paintedFades() {
        // A fade-out long enough that a busy machine cannot skip past it between two looks.
        Rig rig(/*fadeOutMs=*/1000, 2, /*fadeInMs=*/40);
        rig.controller.show(OverlayType::water, 0);
        QPointer<OverlayView> panel = rig.controller.panels()[0];
        QCOMPARE(panel->fadeOpacity(), 0.0);
        QCOMPARE(panel->windowOpacity(), 1.0); // never touched: no warning per frame
        QTRY_COMPARE(panel->fadeOpacity(), 1.0);
        rig.controller.dismiss();
        QTRY_VERIFY(panel && panel->fadeOpacity() < 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.controller.isShowing(), 30000);
    }

    void noScreenDropsTheRequest() {
        Rig rig(0, /*screenCount=*/0);
        rig.controller.show(OverlayType::slouch, 30);
        QVERIFY(!rig.controller.isShowing());
        QCOMPARE(rig.timers.activeCount(), 0);
        rig.controller.dismiss(); // the caller ends its alert: it still hears of it
        QCOMPARE(rig.dismissed, QList{OverlayType::slouch});
        rig.controller.dismiss();
        QCOMPARE(rig.dismissed.size(), 1);
    }

    void screensComingAndGoing() {
        Rig rig(/*fadeOutMs=*/20);
        rig.controller.show(OverlayType::stand, 0);
        QVERIFY(!rig.controller.hasAutoDismissTask());
        QCOMPARE(rig.controller.panels()[1]->geometry(), QRect(1280, 0, 1024, 800));
        QPointer<OverlayView> second = rig.controller.panels()[1];
        rig.screens->remove(2);
        flushDeletes();
        QVERIFY(second.isNull());
        QCOMPARE(rig.controller.panels().size(), 1);
        QVERIFY(rig.controller.isShowing());

        rig.screens->add(3, QRect(2560, 0, 800, 600));
        QCOMPARE(rig.controller.panels().size(), 2);
        QCOMPARE(rig.controller.panels()[1]->geometry(), QRect(2560, 0, 800, 600));

        // Unplugged during the fade-out.
        rig.controller.dismiss();
        rig.screens->remove(1);
        QTRY_VERIFY(!rig.controller.isShowing());
        QCOMPARE(rig.dismissed, QList{OverlayType::stand});

        // The last screen gone: the overlay ends rather than hide unseen.
        rig.controller.show(OverlayType::slouch, 0);
        rig.controller.show(OverlayType::water, 0);
        rig.screens->remove(3);
        QTRY_COMPARE(rig.dismissed.size(), 2);
        QCOMPARE(rig.dismissed.last(), OverlayType::slouch);
        QVERIFY(!rig.controller.isShowing()); // the water overlay had nowhere to go
        flushDeletes();
        QCOMPARE(QApplication::topLevelWidgets().size(), 0);
    }

    void destroyedWhileShowing() {
        QPointer<OverlayView> panel;
        {
            Rig rig(/*fadeOutMs=*/1000);
            rig.controller.show(OverlayType::slouch, 30);
            panel = rig.controller.panels()[0];
            rig.controller.dismiss();
        }
        QVERIFY(panel.isNull());
        QTest::qWait(1);
    }
};

QTEST_MAIN(TestOverlay)
#include "tst_overlay.moc"
