#include "platform/Wayland.h"

#include "qwayland-ext-idle-notify-v1.h"
#include "qwayland-idle.h"

#include <QtWaylandClient/QWaylandClientExtensionTemplate>
#include <wayland-client-protocol.h>

namespace quorvel::wayland {

namespace {

// The compositor's seat, bound for ourselves: Qt 6.4 hands out none of its own.
class Seat : public QWaylandClientExtension {
public:
    Seat() : QWaylandClientExtension(1) {}
    ~Seat() override {
        if (seat != nullptr) {
            wl_seat_destroy(seat);
        }
    }
    const wl_interface* extensionInterface() const override { return &wl_seat_interface; }
    void bind(wl_registry* registry, int id, int) override {
        seat = static_cast<wl_seat*>(
            wl_registry_bind(registry, static_cast<uint32_t>(id), &wl_seat_interface, 1));
    }
    wl_seat* seat = nullptr;
};

class ExtNotifier : public QWaylandClientExtensionTemplate<ExtNotifier>,
                    public QtWayland::ext_idle_notifier_v1 {
public:
    ExtNotifier() : QWaylandClientExtensionTemplate(1) {}
    ~ExtNotifier() override {
        if (isInitialized()) {
            destroy();
        }
    }
};

class KdeIdle : public QWaylandClientExtensionTemplate<KdeIdle>,
                public QtWayland::org_kde_kwin_idle {
public:
    KdeIdle() : QWaylandClientExtensionTemplate(1) {}
};

class ExtNotification : public QtWayland::ext_idle_notification_v1 {
public:
    ExtNotification(::ext_idle_notification_v1* object, std::function<void(bool)> onIdle)
        : QtWayland::ext_idle_notification_v1(object), m_onIdle(std::move(onIdle)) {}
    ~ExtNotification() override { destroy(); }

protected:
    void ext_idle_notification_v1_idled() override { m_onIdle(true); }
    void ext_idle_notification_v1_resumed() override { m_onIdle(false); }

private:
    std::function<void(bool)> m_onIdle;
};

class KdeTimeout : public QtWayland::org_kde_kwin_idle_timeout {
public:
    KdeTimeout(::org_kde_kwin_idle_timeout* object, std::function<void(bool)> onIdle)
        : QtWayland::org_kde_kwin_idle_timeout(object), m_onIdle(std::move(onIdle)) {}
    ~KdeTimeout() override { release(); }

protected:
    void org_kde_kwin_idle_timeout_idle() override { m_onIdle(true); }
    void org_kde_kwin_idle_timeout_resumed() override { m_onIdle(false); }

private:
    std::function<void(bool)> m_onIdle;
};

} // namespace

struct IdleNotifier::Protocols {
    Seat seat;
    ExtNotifier ext;
    KdeIdle kde;
    std::unique_ptr<ExtNotification> extNotification;
    std::unique_ptr<KdeTimeout> kdeTimeout;
};

IdleNotifier::IdleNotifier(QObject* parent) : QObject(parent), m(std::make_unique<Protocols>()) {
    // The globals are bound on a later turn of the event loop, each when it is announced.
    for (QWaylandClientExtension* extension : {static_cast<QWaylandClientExtension*>(&m->seat),
                                               static_cast<QWaylandClientExtension*>(&m->ext),
                                               static_cast<QWaylandClientExtension*>(&m->kde)}) {
        connect(extension, &QWaylandClientExtension::activeChanged, this, &IdleNotifier::update);
    }
}

IdleNotifier::~IdleNotifier() = default;

bool IdleNotifier::isActive() const {
    return m->extNotification || m->kdeTimeout;
}

const char* IdleNotifier::protocol() const {
    if (m->extNotification) {
        return "ext-idle-notify-v1";
    }
    return m->kdeTimeout ? "org_kde_kwin_idle" : nullptr;
}

std::optional<qint64> IdleNotifier::idleMs() const {
    if (!isActive()) {
        return std::nullopt;
    }
    return m_idleSince.isValid() ? notifyAfterMs + m_idleSince.elapsed() : 0;
}

void IdleNotifier::update() {
    const bool wasActive = isActive();
    const auto onIdle = [this](bool idle) {
        idle ? idled() : resumed();
    };
    if (m->seat.seat != nullptr && m->seat.isActive() && m->ext.isActive()) {
        if (!m->extNotification) {
            m->kdeTimeout.reset();
            m->extNotification = std::make_unique<ExtNotification>(
                m->ext.get_idle_notification(notifyAfterMs, m->seat.seat), onIdle);
        }
    } else if (m->seat.seat != nullptr && m->seat.isActive() && m->kde.isActive()) {
        m->extNotification.reset();
        if (!m->kdeTimeout) {
            m->kdeTimeout = std::make_unique<KdeTimeout>(
                m->kde.get_idle_timeout(m->seat.seat, notifyAfterMs), onIdle);
        }
    } else {
        m->extNotification.reset();
        m->kdeTimeout.reset();
    }
    m_idleSince.invalidate();
    if (isActive() != wasActive) {
        Q_EMIT activeChanged();
    }
}

void IdleNotifier::idled() {
    m_idleSince.start();
}

void IdleNotifier::resumed() {
    m_idleSince.invalidate();
}

} // namespace quorvel::wayland
