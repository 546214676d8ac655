#include "common/Accessibility.h"
#include "overlay/OverlayGradients.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindowController.h"
#include "settings/SettingsManager.h"
#include "support/Contrast.h"
#include "support/FakeScreens.h"
#include "support/FakeTimers.h"
#include "support/QuietOffscreen.h"
#include "support/TestSupport.h"

#include <QAccessible>
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
struct Rig : StoreAndTimers {
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

// White at `opacity` over `behind`, and its contrast ratio with `behind`.
double whiteTextContrast(QRgb behind, double opacity) {
    const auto over = [&](int v) {
        return qRound(255 * opacity + v * (1 - opacity));
    };
    return contrastRatio(QColor(over(qRed(behind)), over(qGreen(behind)), over(qBlue(behind))),
                         QColor(behind));
}

// The overlay at full size over a white desktop (the hardest case for white text), with or
// without its texts.
QImage overWhite(OverlayView& view, bool texts) {
    view.setDrawsTexts(texts);
    QImage image(view.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The lowest contrast of each text (title, subtitle, hint) with what stands right behind
// it, over the pixels the text covers, wherever the gradient swings.
QList<double> lowestTextContrast(OverlayType type) {
    OverlayView view(type, {}, {0, 0, 0});
    view.resize(1280, 800);
    view.setContentProgress(1.0);
    const QList<double> opacities{1.0, OverlayView::subtitleOpacity, OverlayView::hintOpacity};
    QList<double> lowest(3, 100.0);
    for (double swing : {0.0, 0.5, 1.0}) {
        view.setGradientProgress(swing);
        const QImage with = overWhite(view, true);
        const QImage behind = overWhite(view, false);
        const QList<QRect> boxes = view.textRects();
        for (qsizetype i = 0; i < boxes.size(); ++i) {
            for (int y = boxes[i].top(); y <= boxes[i].bottom(); ++y) {
                for (int x = boxes[i].left(); x <= boxes[i].right(); ++x) {
                    const QRgb a = with.pixel(x, y), b = behind.pixel(x, y);
                    const int change = qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) +
                                       qAbs(qBlue(a) - qBlue(b));
                    if (change > 24) { // a pixel of the text
                        lowest[i] = std::min(lowest[i], whiteTextContrast(b, opacities[i]));
                    }
                }
            }
        }
    }
    return lowest;
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

    // Closed, hidden or minimised by anyone else (Alt+F4, the window manager), a click on any
    // screen, or a fresh Escape (not one held down since before, nor another key): that ends
    // the overlay on every screen and its pending auto-dismissal, and the next one comes up,
    // with the auto-dismiss setting of that moment (not the time it was asked with).
    void dismissals_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("close") << 0;
        QTest::newRow("hide") << 1;
        QTest::newRow("minimise") << 2;
        QTest::newRow("click") << 3;
        QTest::newRow("Escape") << 4;
    }
    void dismissals() {
        QFETCH(int, how);
        Rig rig;
        rig.controller.show(OverlayType::stand, 30);
        rig.controller.show(OverlayType::water, 30);
        rig.controller.show(OverlayType::water, 30);
        rig.settings.setAutoDismissTimeout(15);
        rig.timers.advance(5s);
        OverlayView* panel = rig.controller.panels()[1];
        QVERIFY(!rig.controller.escapeKeyGrabbed()); // no X11 here: the windows take it
        QTest::keyClicks(panel, "a ");
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(panel, &repeat);
        QVERIFY(rig.dismissed.isEmpty());
        switch (how) {
        case 0:
            panel->close();
            break;
        case 1:
            panel->hide();
            break;
        case 2:
            panel->setWindowState(Qt::WindowMinimized);
            break;
        case 3:
            QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(2, 2));
            break;
        default:
            QTest::keyClick(panel, Qt::Key_Escape);
        }
        QCOMPARE(rig.dismissed, QList{OverlayType::stand});
        QCOMPARE(rig.controller.currentType(), OverlayType::water);
        QVERIFY(rig.controller.overlayQueue().isEmpty()); // one of a kind waits
        QCOMPARE(rig.timers.activeCount(), 1);
        rig.timers.advance(14999ms);
        QCOMPARE(rig.dismissed.size(), 1);
        rig.timers.advance(1ms);
        QCOMPARE(rig.dismissed, (QList{OverlayType::stand, OverlayType::water}));
        rig.timers.advance(60s);
        QCOMPARE(rig.dismissed.size(), 2);
        QCOMPARE(rig.timers.activeCount(), 0);
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

        // No screen: a request is dropped, but the caller that ends its alert still hears of it.
        rig.controller.show(OverlayType::slouch, 30);
        QVERIFY(!rig.controller.isShowing());
        QCOMPARE(rig.timers.activeCount(), 0);
        rig.controller.dismiss();
        rig.controller.dismiss();
        QCOMPARE(rig.dismissed.size(), 3);
        QCOMPARE(rig.dismissed.last(), OverlayType::slouch);
    }

    // Screen readers hear an overlay once as it appears: title, subtitle and the way out, the
    // texts inside it where they are drawn (for braille and a review of the screen).
    void announcedToScreenReaders() {
        QList<QPair<QObject*, QAccessible::Event>> told;
        a11y::setObserver([&](QObject* o, QAccessible::Event e) { told.append({o, e}); });
        Rig rig;
        rig.controller.show(OverlayType::water, 0);
        const auto panels = rig.controller.panels();
        QCOMPARE(panels.size(), 2);
        const QString heading = title(OverlayType::water);
        QAccessibleInterface* first = QAccessible::queryAccessibleInterface(panels[0]);
        QCOMPARE(first->role(), QAccessible::Notification);
        QCOMPARE(first->text(QAccessible::Name), heading);
        QCOMPARE(first->childCount(), 2);
        QCOMPARE(first->child(0)->text(QAccessible::Name), heading);
        // The shown hint names only the click; the way out a screen reader user reaches for
        // is the key.
        QCOMPARE(first->child(1)->text(QAccessible::Name),
                 subtitle(OverlayType::water) + ". Click anywhere to dismiss, or press Escape.");
        QCOMPARE(first->child(1)->role(), QAccessible::StaticText);
        QCOMPARE(first->indexOfChild(first->child(1)), 1);
        QVERIFY(first->rect().contains(first->child(1)->rect()));
        QAccessibleInterface* second = QAccessible::queryAccessibleInterface(panels[1]);
        QCOMPARE(second->role(), QAccessible::Window);
        QCOMPARE(second->text(QAccessible::Name), heading);
        QCOMPARE(told,
                 (QList<QPair<QObject*, QAccessible::Event>>{{panels[0], QAccessible::Alert}}));
        a11y::setObserver({});

        // Dismissed (by Escape, which the overlay takes without the focus), it says so once:
        // a notification appears in the announcing view, with its text for braille.
        const auto notes = [](QWidget* view) {
            QStringList said;
            for (QWidget* w : view->findChildren<QWidget*>()) {
                QAccessibleInterface* i = QAccessible::queryAccessibleInterface(w);
                if (w->isVisibleTo(view) && i->role() == QAccessible::Notification) {
                    said << i->text(QAccessible::Name) + QLatin1Char('|') +
                                i->child(0)->text(QAccessible::Name);
                }
            }
            return said;
        };
        QCOMPARE(notes(panels[0]), QStringList());
        rig.controller.dismiss();
        QCOMPARE(notes(panels[0]), QStringList("|" + heading + " dismissed"));
        QCOMPARE(notes(panels[1]), QStringList());
    }

    // White texts on the bright gradients stay readable: 4.5:1, 3:1 for the large title.
    void textsStandOutFromTheGradient() {
        for (OverlayType type : allOverlayTypes) {
            const QList<double> lowest = lowestTextContrast(type);
            qInfo("%s: title %.2f, subtitle %.2f, hint %.2f", qPrintable(rawValue(type)), lowest[0],
                  lowest[1], lowest[2]);
            QVERIFY(lowest[0] >= 3.0);
            QVERIFY(lowest[1] >= 4.5);
            QVERIFY(lowest[2] >= 4.5);
        }
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
