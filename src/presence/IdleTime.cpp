#include "presence/IdleTime.h"

#include "platform/Wayland.h"
#include "platform/X11.h"
#include "presence/PresenceLogging.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace quorvel {

namespace {

template <typename T>
void whenAnswered(const QDBusPendingCall& call, QObject* context,
                  std::function<void(const QDBusPendingReply<T>&)> onReply) {
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, onReply = std::move(onReply)] {
                         watcher->deleteLater();
                         onReply(QDBusPendingReply<T>(*watcher));
                     });
}

} // namespace

IdleTime::IdleTime(bool askX11, bool askWayland, QObject* parent)
    : QObject(parent), m_session(QStringLiteral("quorvel-no-bus")),
      m_askX11(askX11 && x11::isSession()) {
    if (askWayland && wayland::isSession()) {
        m_wayland = new wayland::IdleNotifier(this);
        connect(m_wayland, &wayland::IdleNotifier::activeChanged, this, &IdleTime::sourcesChanged);
    }
}

IdleTime::~IdleTime() = default;

void IdleTime::setSessionBus(const QDBusConnection& bus) {
    m_session = bus;
    Q_EMIT sourcesChanged();
}

void IdleTime::query(Answer answer) {
    if (m_askX11) {
        if (const auto ms = x11::idleMs()) {
            answered(ms, "the X server");
            answer(ms);
            return;
        }
    }
    if (m_wayland != nullptr && m_wayland->isActive()) {
        const auto ms = m_wayland->idleMs();
        answered(ms, m_wayland->protocol());
        answer(ms);
        return;
    }
    askMutter(std::move(answer));
}

void IdleTime::answered(std::optional<qint64> ms, const char* source) {
    if (ms) {
        qCDebug(lcPresence, "input idle for %lld ms, from %s", static_cast<long long>(*ms), source);
    } else {
        qCDebug(lcPresence, "input idleness unknown: nobody answers");
    }
}

std::optional<bool> IdleTime::keyboardHeldElsewhere() const {
    return m_askX11 ? x11::keyboardGrabbedByAnother() : std::nullopt;
}

void IdleTime::askMutter(Answer answer) {
    if (!m_session.isConnected()) {
        answered(std::nullopt, nullptr);
        answer(std::nullopt);
        return;
    }
    const QString service = QStringLiteral("org.gnome.Mutter.IdleMonitor");
    const QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"), service,
        QStringLiteral("GetIdletime"));
    whenAnswered<quint64>(m_session.asyncCall(call), this,
                          [this, answer = std::move(answer)](const auto& reply) mutable {
                              if (reply.isValid()) {
                                  const auto ms = static_cast<qint64>(reply.value());
                                  answered(ms, "org.gnome.Mutter.IdleMonitor");
                                  answer(ms);
                              } else {
                                  askFreedesktop(std::move(answer));
                              }
                          });
}

// KDE answers in milliseconds (the interface's old text says seconds; nobody else
// answers at all).
void IdleTime::askFreedesktop(Answer answer) {
    const QString service = QStringLiteral("org.freedesktop.ScreenSaver");
    const QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/ScreenSaver"),
                                       service, QStringLiteral("GetSessionIdleTime"));
    whenAnswered<quint32>(
        m_session.asyncCall(call), this, [answer = std::move(answer)](const auto& reply) {
            const auto ms = reply.isValid() ? std::optional<qint64>(reply.value()) : std::nullopt;
            answered(ms, "org.freedesktop.ScreenSaver");
            answer(ms);
        });
}

} // namespace quorvel
