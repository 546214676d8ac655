#include "camera/CameraPortal.h"

#include "camera/CameraLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QPointer>
#include <QRandomGenerator>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel {

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString objectPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString cameraInterface = QStringLiteral("org.freedesktop.portal.Camera");

// The session bus as the environment names it now (libdbus reads the variable only once).
QDBusConnection sessionBus() {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        return QDBusConnection::sessionBus(); // the user's bus where libdbus finds it itself
    }
    return QDBusConnection::connectToBus(address,
                                         QStringLiteral("quorvel-camera-portal ") + address);
}

// The portal is not there, or has no camera interface: nothing to ask.
bool meansAbsent(const QDBusError& error) {
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownObject:
    case QDBusError::Disconnected:
        return true;
    default:
        return false;
    }
}

bool meansRefused(const QDBusError& error) {
    return error.name() == QLatin1String("org.freedesktop.portal.Error.NotAllowed");
}

// One AccessCamera call and the answer that follows on its request object.
class AccessRequest : public QObject {
    Q_OBJECT

public:
    AccessRequest(QObject* context, std::function<void(std::optional<bool>)> answer)
        : m_context(context), m_answer(std::move(answer)) {}

    void start() {
        m_bus = sessionBus();
        if (!m_bus.isConnected()) {
            finish(std::nullopt, QStringLiteral("no session bus"));
            return;
        }
        // The request object's path is known before the call, so that an answer given at once
        // is not missed.
        const QString token =
            QStringLiteral("quorvel%1").arg(QRandomGenerator::global()->generate());
        QString sender = m_bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));
        auto* gone = new QDBusServiceWatcher(service, m_bus,
                                             QDBusServiceWatcher::WatchForUnregistration, this);
        connect(gone, &QDBusServiceWatcher::serviceUnregistered, this,
                [this] { finish(std::nullopt, QStringLiteral("the portal went away")); });
        QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath, cameraInterface,
                                                           QStringLiteral("AccessCamera"));
        call << QVariantMap{{QStringLiteral("handle_token"), token}};
        auto* watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(call, int(CameraPortal::answerTimeout.count())), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
            if (reply.isError()) {
                const QDBusError error = reply.error();
                if (meansRefused(error)) {
                    finish(false, error.message());
                } else {
                    finish(std::nullopt, error.message());
                }
                return;
            }
            // Portals older than the handle token choose the path themselves.
            if (reply.value().path() != m_path) {
                m_bus.disconnect(service, m_path, QStringLiteral("org.freedesktop.portal.Request"),
                                 QStringLiteral("Response"), this,
                                 SLOT(onResponse(uint, QVariantMap)));
                listen(reply.value().path());
            }
        });
    }

public Q_SLOTS:
    void onResponse(uint response, const QVariantMap&) {
        // 0: allowed; 1: the user said no; 2: refused without asking, or failed.
        finish(response == 0, QStringLiteral("response %1").arg(response));
    }

private:
    void listen(const QString& path) {
        m_path = path;
        m_bus.connect(service, path, QStringLiteral("org.freedesktop.portal.Request"),
                      QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    }

    void finish(std::optional<bool> allowed, const QString& why) {
        if (m_done) {
            return;
        }
        m_done = true;
        qCInfo(lcCamera, "camera portal: %s (%s)",
               !allowed   ? "no answer"
               : *allowed ? "allowed"
                          : "refused",
               qUtf8Printable(why));
        m_bus.disconnect(service, m_path, QStringLiteral("org.freedesktop.portal.Request"),
                         QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
        if (m_context) {
            m_answer(allowed);
        }
        deleteLater();
    }

    QPointer<QObject> m_context;
    std::function<void(std::optional<bool>)> m_answer;
    QDBusConnection m_bus{QString()};
    QString m_path;
    bool m_done = false;
};

} // namespace

void CameraPortal::requestAccess(QObject* context,
                                 std::function<void(std::optional<bool>)> answer) {
    auto* request = new AccessRequest(context, std::move(answer));
    request->start();
}

CameraPortal::Remote CameraPortal::openPipeWireRemote() {
    Remote remote;
    QDBusConnection bus = sessionBus();
    if (!bus.isConnected()) {
        remote.absent = true;
        remote.error = QStringLiteral("no session bus");
        return remote;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath, cameraInterface,
                                                       QStringLiteral("OpenPipeWireRemote"));
    call << QVariantMap();
    const QDBusMessage reply = bus.call(call, QDBus::Block, int(answerTimeout.count()));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QDBusError error(reply);
        remote.refused = meansRefused(error);
        // A portal that fails otherwise is as good as none: PipeWire is asked directly.
        remote.absent = !remote.refused;
        remote.error = error.message();
        if (!meansAbsent(error)) {
            qCInfo(lcCamera, "camera portal: %s", qUtf8Printable(error.message()));
        }
        return remote;
    }
    const auto descriptor = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
    remote.descriptor =
        descriptor.isValid() ? fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 3) : -1;
    if (remote.descriptor < 0) {
        remote.absent = true;
        remote.error = QStringLiteral("the portal gave no connection");
    }
    return remote;
}

QString CameraPortal::refusedText() {
    return QStringLiteral("the desktop does not allow Quorvel to use the camera");
}

} // namespace quorvel

#include "CameraPortal.moc"
