#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <memory>
#include <optional>

namespace quorvel {

// How long there has been no input, from a Wayland compositor's idle protocol: the
// ext-idle-notify-v1 notifier where offered (sway 1.8 and later, KWin), else KDE's
// org_kde_kwin_idle (sway 1.7, KWin). These tell when input stops for a while and when it
// comes back, not the idle time itself: it is known from notifyAfterMs on, below that it
// counts as none. Create only on Qt's Wayland platform. Main thread only.
class WaylandIdle : public QObject {
    Q_OBJECT

public:
    static constexpr int notifyAfterMs = 10000;

    explicit WaylandIdle(QObject* parent = nullptr);
    ~WaylandIdle() override;

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

} // namespace quorvel
