#pragma once

#include "common/TimerFactory.h"
#include "overlay/OverlayType.h"
#include "overlay/OverlayView.h"
#include "overlay/ScreenProvider.h"
#include "platform/EscapeKeyGrab.h"
#include "settings/SettingsManager.h"

#include <QAbstractNativeEventFilter>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QPropertyAnimation;
class QVariantAnimation;

namespace quorvel {

// How long the fades take, in milliseconds, and the timings of the views.
struct OverlayTimings {
    int fadeInMs = 800;
    int fadeOutMs = 500;
    OverlayViewTimings view{};
    // Fade by painting the views (see OverlayView::fadeOpacity) even where windows have an
    // opacity of their own; without one (Wayland) the views always paint their fades.
    bool paintedFade = false;
};

// Puts an overlay over every screen at once, fades it in, takes it down on a click,
// Escape, the end of its time or a caller's dismiss(), and shows overlays requested
// meanwhile one after another.
//
// Each screen gets its own frameless, translucent, stay-on-top tool window that never
// takes the focus, placed on that screen and covering all of it. On X11 the windows bypass
// the window manager (override-redirect): every window manager then leaves them above all
// its windows, full-screen ones included, on every desktop, out of taskbars and pagers,
// whichever application is active, and never gives them the keyboard. Elsewhere they are
// full screen, except on sway, where they go on the layer shell's overlay layer where the
// build has it (platform/Wayland.h), the first with the keyboard. While one is up,
// Escape is grabbed on X11 (see EscapeKeyGrab); without a grab, Escape works in an overlay
// window that has the focus. A click always works.
//
// States: idle → showing (show) → fading out (dismiss) → idle, then the next queued kind.
// Requests made while showing or fading out wait in the queue. A dismiss() during the fade
// out does nothing more. A kind already on screen or waiting is not queued again. A panel
// that disappears by other means (closed, hidden or minimised by anyone else, Alt+F4, the
// window manager; on X11 also unmapped or destroyed by another client; its screen gone)
// dismisses the overlay too, once. Everything runs on the main thread.
class OverlayWindowController : public OverlayRequests, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    using Timings = OverlayTimings;

    // The user's screens; queued overlays come up with `settings`' auto-dismiss time.
    explicit OverlayWindowController(SettingsManager& settings = SettingsManager::shared(),
                                     QObject* parent = nullptr);
    OverlayWindowController(SettingsManager& settings, std::unique_ptr<ScreenProvider> screens,
                            Timings timings, TimerFactory timers = eventLoopTimers(),
                            QObject* parent = nullptr);
    ~OverlayWindowController() override;

    OverlayWindowController(const OverlayWindowController&) = delete;
    OverlayWindowController& operator=(const OverlayWindowController&) = delete;

    // Shows `type` at once when nothing is up, else queues it (then `autoDismissSeconds`
    // is not kept: the queued kind comes up with the auto-dismiss setting of that moment).
    // `autoDismissSeconds` <= 0: stays until dismissed. Without any screen the request is
    // dropped.
    void show(OverlayType type, qint64 autoDismissSeconds) override;

    // Takes the overlay down (0.5 s fade), then tells onDismiss and shows the next queued
    // kind. Safe when nothing is shown; does nothing while a fade-out already runs.
    void dismiss();

    // Ends the overlays of `type` a caller asked for: takes the overlay down (as dismiss())
    // when it is that kind, and drops every request of that kind still waiting. An overlay
    // of another kind stays up. Withdrawn requests that never showed are not reported.
    void withdraw(OverlayType type) override;

    // From show() until the fade-out has completed.
    bool isShowing() const { return m_state != State::idle; }
    bool isFadingOut() const { return m_state == State::fadingOut; }
    // The kind on screen.
    std::optional<OverlayType> currentType() const { return m_currentType; }
    // Kinds waiting, first in first out.
    QList<OverlayType> overlayQueue() const { return m_overlayQueue; }
    // The windows of the overlay on screen, in screen order.
    QList<OverlayView*> panels() const;
    bool hasAutoDismissTask() const { return m_autoDismissTask != nullptr; }
    bool escapeKeyGrabbed() const { return m_escape.isGrabbed(); }

    // Told the kind of each overlay once it has been taken down, whatever ended it.
    std::function<void(OverlayType)> onDismiss;

Q_SIGNALS:
    // An overlay came up on the screens; one was taken down (after onDismiss).
    void shown(quorvel::OverlayType type);
    void dismissed(quorvel::OverlayType type);

public:
    // On X11: a panel unmapped or destroyed by another client (override-redirect windows
    // get no close or hide from Qt for that) dismisses the overlay.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class State { idle, showing, fadingOut };

    struct Panel {
        quintptr screenId = 0;
        QPointer<OverlayView> view;
        QPointer<QPropertyAnimation> fadeIn;
        double fadeOutFrom = 1.0;
    };

    void presentOnAllScreens(OverlayType type, qint64 autoDismissSeconds);
    // `announces`: the panel tells screen readers the overlay has appeared (the first one).
    Panel createPanel(const OverlayScreen& screen, OverlayType type, bool announces);
    void finishDismiss(std::optional<OverlayType> dismissed);
    void showNextInQueue();
    void screenAdded(const OverlayScreen& screen);
    void screenRemoved(quintptr screenId);
    void screenGeometryChanged(quintptr screenId, const QRect& geometry);
    void destroyPanel(Panel& panel);
    void setOpacity(OverlayView* view, double opacity) const;
    double opacity(const OverlayView* view) const;

    SettingsManager& m_settings;
    std::unique_ptr<ScreenProvider> m_screens;
    Timings m_timings;
    bool m_x11 = false;
    bool m_overlayLayer = false;    // sway or KWin with the layer shell: see platform/Wayland.h
    bool m_fullScreenAgain = false; // sway without it: see FullScreenAgain
    TimerFactory m_timers;
    EscapeKeyGrab m_escape;

    State m_state = State::idle;
    std::vector<Panel> m_panels;
    QList<OverlayType> m_overlayQueue;
    // A queued slouch overlay keeps the time it was asked for (none for an alert, which only
    // sitting up or the user ends); break reminders take the setting when their turn comes.
    qint64 m_queuedSlouchSeconds = 0;
    std::optional<OverlayType> m_currentType;
    TimerHandle m_autoDismissTask;
    QPointer<QVariantAnimation> m_fadeOut;
};

} // namespace quorvel
