#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <memory>
#include <optional>

class QWidget;

// What Quorvel asks of a Wayland compositor, in one place. Each part is built from
// platform/wayland/ where the build has what it needs (Qt's Wayland client extensions and the
// protocols' descriptions for the idle notifier, LayerShellQt for the layer shell), and from
// platform/wayland/absent/ where it does not: then it answers as a compositor without it.
namespace quorvel::wayland {

// Quorvel runs on Qt's Wayland platform.
bool isSession();

// Wayland's layer shell (wlr-layer-shell, offered by wlroots compositors such as sway, and by
// KWin): a surface on its overlay layer is drawn above every window, full-screen ones
// included, on the output it names, and is never tiled, moved or made full screen.
bool layerShellBuilt();
// Puts `view`, placed on its screen and not yet shown, on that output's overlay layer,
// covering all of it. `takesKeyboard`: it has the keyboard while it is up, so Escape reaches
// it; the others take no keys. False when this build has no layer shell (nothing changed);
// where the compositor has none, the view stays an ordinary window.
bool placeOnOverlayLayer(QWidget* view, bool takesKeyboard);

// How long there has been no input, from the compositor's idle protocol: the
// ext-idle-notify-v1 notifier where offered (sway 1.8 and later, KWin), else KDE's
// org_kde_kwin_idle (sway 1.7, KWin). These tell when input stops for a while and when it
// comes back, not the idle time itself: it is known from notifyAfterMs on, below that it
// counts as none. Create only on Qt's Wayland platform (isSession()). Main thread only.
class IdleNotifier : public QObject {
    Q_OBJECT

public:
    static constexpr int notifyAfterMs = 10000;

    explicit IdleNotifier(QObject* parent = nullptr);
    ~IdleNotifier() override;

    // The compositor offers a seat and one of the protocols.
    bool isActive() const;
    // The protocol in use: "ext-idle-notify-v1" or "org_kde_kwin_idle"; null when inactive.
    const char* protocol() const;
    // Milliseconds without input: 0 while there was input in the last notifyAfterMs.
    std::optional<qint64> idleMs() const;

Q_SIGNALS:
    void activeChanged();

private:
    struct Protocols;
    void update();
    void idled();
    void resumed();

    std::unique_ptr<Protocols> m;
    QElapsedTimer m_idleSince; // valid from the idled event to the resumed one
};

} // namespace quorvel::wayland
