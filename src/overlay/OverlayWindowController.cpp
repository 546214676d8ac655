#include "overlay/OverlayWindowController.h"

#include "overlay/OverlayLogging.h"
#include "platform/Wayland.h"
#include "platform/X11.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPropertyAnimation>
#include <QScreen>
#include <QVariantAnimation>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <utility>

namespace quorvel {

namespace {

// sway 1.10 shows a window that goes full screen on another output than the one it was
// mapped on (the focused one) only after something redraws that whole output: until then the
// output keeps its last picture, the user's windows. A window already on its output that
// leaves full screen and enters it again is drawn (most of the time: sway 1.10 on two
// headless outputs still kept the old picture in 2 of 3 runs). So on sway, once sway has made
// an overlay full screen, it leaves full screen and, once sway has confirmed that, enters it
// again. Each step waits for sway's answer (the window system's own state change): Qt drops
// a request for the state sway last confirmed.
class FullScreenAgain : public QObject {
public:
    explicit FullScreenAgain(QWidget* view) : QObject(view), m_view(view) {
        m_window = view->windowHandle();
        if (m_window) {
            m_window->installEventFilter(this);
        }
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::WindowStateChange || !event->spontaneous()) {
            return false;
        }
        const bool fullScreen = m_window->windowStates() & Qt::WindowFullScreen;
        if (m_step == Step::waitForFullScreen && fullScreen) {
            m_step = Step::waitForNormal;
            ask(false);
        } else if (m_step == Step::waitForNormal && !fullScreen) {
            m_step = Step::done;
            m_window->removeEventFilter(this);
            ask(true);
            qCInfo(lcOverlay, "full screen again on %s (sway)",
                   qUtf8Printable(m_view->screen() ? m_view->screen()->name() : QString()));
        }
        return false;
    }

private:
    enum class Step { waitForFullScreen, waitForNormal, done };

    // Through the event loop: not from inside Qt's handling of the state change.
    void ask(bool fullScreen) {
        QMetaObject::invokeMethod(
            this,
            [view = m_view, fullScreen] {
                view->setWindowState(fullScreen ? view->windowState() | Qt::WindowFullScreen
                                                : view->windowState() & ~Qt::WindowFullScreen);
            },
            Qt::QueuedConnection);
    }

    QWidget* m_view;
    QWindow* m_window = nullptr;
    Step m_step = Step::waitForFullScreen;
};

// The longest wait a timer can hold, about 24 days; longer means "until dismissed" anyway.
constexpr qint64 longestAutoDismissSeconds = 24 * 24 * 3600;
} // namespace

OverlayWindowController::OverlayWindowController(SettingsManager& settings, QObject* parent)
    : OverlayWindowController(settings, std::make_unique<GuiScreenProvider>(), Timings{},
                              eventLoopTimers(), parent) {}

OverlayWindowController::OverlayWindowController(SettingsManager& settings,
                                                 std::unique_ptr<ScreenProvider> screens,
                                                 Timings timings, TimerFactory timers,
                                                 QObject* parent)
    : OverlayRequests(parent), m_settings(settings), m_screens(std::move(screens)),
      m_timings(timings), m_timers(std::move(timers)) {
    if (!m_screens) {
        m_screens = std::make_unique<GuiScreenProvider>();
    }
    if (!m_timers) {
        m_timers = eventLoopTimers();
    }
    m_x11 = x11::connected();
    // sway draws a full-screen window that displaces another one (the user's video, say)
    // unreliably; its overlay layer has no such trouble. KWin 6 gives the keyboard, when a
    // full-screen overlay that had it goes, to the top window of the output under the
    // pointer, not back to the window the user was typing in; a layer surface never becomes
    // its active window, so the keyboard goes back where it was. Elsewhere full screen is the
    // tried way.
    const bool onWayland = wayland::isSession();
    const bool sway = onWayland && qEnvironmentVariableIsSet("SWAYSOCK");
    const bool kwin = onWayland && qEnvironmentVariable("XDG_CURRENT_DESKTOP")
                                       .split(QLatin1Char(':'))
                                       .contains(QLatin1String("KDE"));
    m_overlayLayer = (sway || kwin) && wayland::layerShellBuilt();
    m_fullScreenAgain = sway && !m_overlayLayer;
    // Window opacity: X11 has it (drawn by a compositor); Wayland, offscreen and the rest
    // don't, and warn on every try.
    if (!m_x11) {
        m_timings.paintedFade = true;
    }
    connect(m_screens.get(), &ScreenProvider::screenAdded, this,
            &OverlayWindowController::screenAdded);
    connect(m_screens.get(), &ScreenProvider::screenRemoved, this,
            &OverlayWindowController::screenRemoved);
    connect(m_screens.get(), &ScreenProvider::screenGeometryChanged, this,
            &OverlayWindowController::screenGeometryChanged);
    // Escape on X11 arrives inside the event dispatcher; act on it from the event loop.
    connect(
        &m_escape, &EscapeKeyGrab::escapePressed, this,
        [this] {
            qCInfo(lcOverlay, "dismissed: Escape (grabbed)");
            dismiss();
        },
        Qt::QueuedConnection);
    if (m_x11) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

OverlayWindowController::~OverlayWindowController() {
    if (m_x11) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    m_autoDismissTask.reset();
    delete m_fadeOut.data();
    for (Panel& panel : std::exchange(m_panels, {})) {
        if (panel.view) {
            panel.view->removeEventFilter(this);
            delete panel.view.data();
        }
    }
    m_escape.release();
}

QList<OverlayView*> OverlayWindowController::panels() const {
    QList<OverlayView*> views;
    for (const Panel& panel : m_panels) {
        if (panel.view) {
            views.append(panel.view.data());
        }
    }
    return views;
}

void OverlayWindowController::show(OverlayType type, qint64 autoDismissSeconds) {
    if (m_state != State::idle) {
        // One of a kind: a reminder that is up or waiting already needs no second copy.
        const bool onScreen = m_state == State::showing && m_currentType == type;
        if (!onScreen && !m_overlayQueue.contains(type)) {
            qCInfo(lcOverlay, "%s overlay queued", qUtf8Printable(rawValue(type)));
            m_overlayQueue.append(type);
            if (type == OverlayType::slouch) {
                m_queuedSlouchSeconds = autoDismissSeconds;
            }
        }
        return;
    }
    m_state = State::showing;
    m_currentType = type;
    presentOnAllScreens(type, autoDismissSeconds);
}

void OverlayWindowController::presentOnAllScreens(OverlayType type, qint64 autoDismissSeconds) {
    const QList<OverlayScreen> screens = m_screens->screens();
    if (screens.isEmpty()) {
        // Nowhere to show it: dropped. The kind stays current until the next dismiss(),
        // which then reports it as dismissed.
        qCWarning(lcOverlay, "no screen to show the %s overlay on", qUtf8Printable(rawValue(type)));
        m_state = State::idle;
        return;
    }
    m_escape.grab();
    for (const OverlayScreen& screen : screens) {
        // One announcement per overlay, however many screens it covers.
        m_panels.push_back(createPanel(screen, type, m_panels.empty()));
    }
    const QString until =
        autoDismissSeconds > 0
            ? QStringLiteral("dismissed by itself after %1 s").arg(autoDismissSeconds)
            : QStringLiteral("until dismissed");
    qCInfo(lcOverlay, "%s overlay shown on %lld screen(s), %s", qUtf8Printable(rawValue(type)),
           qint64(screens.size()), qUtf8Printable(until));
    Q_EMIT shown(type);
    if (autoDismissSeconds > 0) {
        const auto delay =
            std::chrono::seconds(std::min(autoDismissSeconds, longestAutoDismissSeconds));
        m_autoDismissTask = m_timers(delay, false, [weak = QPointer(this)] {
            if (weak) {
                qCInfo(lcOverlay, "dismissed: its time is up");
                weak->dismiss();
            }
        });
    }
}

OverlayWindowController::Panel OverlayWindowController::createPanel(const OverlayScreen& screen,
                                                                    OverlayType type,
                                                                    bool announces) {
    auto* view = new OverlayView(
        type,
        [weak = QPointer(this)] {
            if (weak) {
                qCInfo(lcOverlay, "dismissed: clicked");
                weak->dismiss();
            }
        },
        m_timings.view);
    view->setAnnounces(announces);
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    if (m_x11) {
        // Managed, a tool window is a utility window, which KWin hides while another
        // application is active, and no window manager keeps it above a full-screen
        // window that has the focus.
        flags |= Qt::X11BypassWindowManagerHint;
    }
    if (m_escape.isGrabbed()) {
        // Escape comes through the grab, so the window never needs the keyboard. Without
        // a grab it may take the focus when the window system gives it, so Escape works.
        flags |= Qt::WindowDoesNotAcceptFocus;
    }
    view->setWindowFlags(flags);
    view->setAttribute(Qt::WA_TranslucentBackground);
    view->setAttribute(Qt::WA_ShowWithoutActivating);
    view->setWindowTitle(title(type));
    view->installEventFilter(this);
    if (screen.screen) {
        view->setScreen(screen.screen);
    }
    view->setGeometry(screen.geometry);
    setOpacity(view, 0.0);
    x11::markAsNotification(view);

    Panel panel;
    panel.screenId = screen.id;
    panel.view = view;
    const bool layered =
        screen.screen && m_overlayLayer && wayland::placeOnOverlayLayer(view, announces);
    if (layered) {
        qCInfo(lcOverlay, "on the overlay layer of %s", qUtf8Printable(screen.screen->name()));
    }
    // Elsewhere, full screen makes the compositor keep the window on its screen, over
    // panels and docks, instead of placing it by its own rules. (Not showFullScreen():
    // that also activates the window, taking the keyboard from the user's application.)
    if (screen.screen && !m_x11 && !layered) {
        view->setWindowState(view->windowState() | Qt::WindowFullScreen);
    }
    view->show();
    if (screen.screen && m_fullScreenAgain && !layered) {
        new FullScreenAgain(view);
    }
    view->raise();
    if (m_timings.fadeInMs <= 0) {
        setOpacity(view, 1.0);
    } else {
        auto* fade = new QPropertyAnimation(
            view, m_timings.paintedFade ? "fadeOpacity" : "windowOpacity", view);
        fade->setStartValue(0.0);
        fade->setEndValue(1.0);
        fade->setDuration(m_timings.fadeInMs);
        panel.fadeIn = fade;
        fade->start(QAbstractAnimation::DeleteWhenStopped);
    }
    return panel;
}

void OverlayWindowController::dismiss() {
    // Whatever happens next, a pending automatic dismissal never fires after this.
    m_autoDismissTask.reset();
    if (m_state == State::fadingOut) {
        return;
    }
    const std::optional<OverlayType> dismissed = m_currentType;
    if (m_state == State::idle) {
        finishDismiss(dismissed);
        return;
    }
    m_state = State::fadingOut;
    for (Panel& panel : m_panels) {
        if (panel.fadeIn) {
            panel.fadeIn->stop();
        }
        if (panel.view) {
            panel.view->confirmDismissal(); // the announcing one says so while it fades
        }
        panel.fadeOutFrom = panel.view ? opacity(panel.view) : 0.0;
    }
    if (m_timings.fadeOutMs <= 0) {
        finishDismiss(dismissed);
        return;
    }
    auto* fade = new QVariantAnimation(this);
    fade->setStartValue(1.0);
    fade->setEndValue(0.0);
    fade->setDuration(m_timings.fadeOutMs);
    connect(fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        const double factor = value.toDouble();
        for (const Panel& panel : m_panels) {
            if (panel.view) {
                setOpacity(panel.view, panel.fadeOutFrom * factor);
            }
        }
    });
    connect(fade, &QVariantAnimation::finished, this,
            [this, dismissed] { finishDismiss(dismissed); });
    m_fadeOut = fade;
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void OverlayWindowController::withdraw(OverlayType type) {
    m_overlayQueue.removeAll(type);
    if (m_currentType == type) {
        qCInfo(lcOverlay, "%s overlay withdrawn", qUtf8Printable(rawValue(type)));
        dismiss();
    }
}

void OverlayWindowController::finishDismiss(std::optional<OverlayType> dismissed) {
    for (Panel& panel : m_panels) {
        destroyPanel(panel);
    }
    m_panels.clear();
    m_escape.release();
    m_currentType.reset();
    m_state = State::idle;
    if (dismissed) {
        qCInfo(lcOverlay, "%s overlay taken down", qUtf8Printable(rawValue(*dismissed)));
    }
    if (dismissed && onDismiss) {
        const auto callback = onDismiss;
        callback(*dismissed);
    }
    if (dismissed) {
        Q_EMIT this->dismissed(*dismissed);
    }
    showNextInQueue();
}

void OverlayWindowController::showNextInQueue() {
    // The dismissal callback may already have put a new overlay up; the queue then waits.
    if (m_state != State::idle || m_overlayQueue.isEmpty()) {
        return;
    }
    const OverlayType next = m_overlayQueue.takeFirst();
    show(next,
         next == OverlayType::slouch ? m_queuedSlouchSeconds : m_settings.autoDismissTimeout());
}

void OverlayWindowController::destroyPanel(Panel& panel) {
    if (panel.fadeIn) {
        panel.fadeIn->stop();
    }
    if (panel.view) {
        // Hidden by us, not by the window system: no longer watched.
        panel.view->removeEventFilter(this);
        panel.view->hide();
        // Later: the view may be in the middle of handling the click that ended it.
        panel.view->deleteLater();
    }
    panel.view = nullptr;
}

void OverlayWindowController::setOpacity(OverlayView* view, double opacity) const {
    if (m_timings.paintedFade) {
        view->setFadeOpacity(opacity);
    } else {
        view->setWindowOpacity(opacity);
    }
}

double OverlayWindowController::opacity(const OverlayView* view) const {
    return m_timings.paintedFade ? view->fadeOpacity() : view->windowOpacity();
}

void OverlayWindowController::screenAdded(const OverlayScreen& screen) {
    if (m_state != State::showing || !m_currentType) {
        return;
    }
    m_panels.push_back(createPanel(screen, *m_currentType, false));
}

void OverlayWindowController::screenRemoved(quintptr screenId) {
    auto it = std::find_if(m_panels.begin(), m_panels.end(),
                           [screenId](const Panel& panel) { return panel.screenId == screenId; });
    if (it == m_panels.end()) {
        return;
    }
    destroyPanel(*it);
    m_panels.erase(it);
    if (m_state == State::showing && m_panels.empty()) {
        // No window left to click: end the overlay rather than leave it up unseen, which
        // would hold back every later overlay.
        qCInfo(lcOverlay, "dismissed: its last screen went away");
        dismiss();
    }
}

void OverlayWindowController::screenGeometryChanged(quintptr screenId, const QRect& geometry) {
    for (const Panel& panel : m_panels) {
        if (panel.screenId == screenId && panel.view) {
            panel.view->setGeometry(geometry);
        }
    }
}

bool OverlayWindowController::nativeEventFilter(const QByteArray& eventType, void* message,
                                                qintptr*) {
    if (m_state != State::showing) {
        return false;
    }
    const std::optional<quintptr> window = x11::unmappedOrDestroyed(eventType, message);
    if (!window) {
        return false;
    }
    // Our own hides come after the panel has left the list.
    const bool ours = std::any_of(m_panels.begin(), m_panels.end(), [window](const Panel& p) {
        return p.view && p.view->internalWinId() == *window;
    });
    if (ours) {
        qCInfo(lcOverlay, "dismissed: its window was unmapped or destroyed by another program");
        QMetaObject::invokeMethod(this, &OverlayWindowController::dismiss, Qt::QueuedConnection);
    }
    return false;
}

bool OverlayWindowController::eventFilter(QObject* watched, QEvent* event) {
    const bool panel = std::any_of(m_panels.begin(), m_panels.end(),
                                   [watched](const Panel& p) { return p.view == watched; });
    if (!panel) {
        return QObject::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::KeyPress:
        if (auto* key = static_cast<QKeyEvent*>(event); key->key() == Qt::Key_Escape) {
            // A held key repeats; only a fresh press dismisses.
            if (!key->isAutoRepeat()) {
                qCInfo(lcOverlay, "dismissed: Escape");
                dismiss();
            }
            return true;
        }
        break;
    case QEvent::Close:
        // Closed by the window system (Alt+F4, a compositor): that is the user dismissing
        // it. The window stays for the fade-out.
        event->ignore();
        qCInfo(lcOverlay, "dismissed: closed by the window manager");
        dismiss();
        return true;
    case QEvent::Hide:
        // Hidden by anyone but us: the same, or the overlay would hold up the queue forever.
        qCInfo(lcOverlay, "dismissed: hidden by the window manager");
        dismiss();
        break;
    case QEvent::WindowStateChange:
        if (static_cast<QWidget*>(watched)->isMinimized()) {
            qCInfo(lcOverlay, "dismissed: minimised");
            dismiss();
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace quorvel
