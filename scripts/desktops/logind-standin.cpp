// A stand-in for logind on the desktop suite's private system bus (DBUS_SYSTEM_BUS_ADDRESS):
// it owns org.freedesktop.login1, hands every caller the same session from
// Manager.GetSessionByPID / GetSession, answers that session's LockedHint through
// org.freedesktop.DBus.Properties (Get, GetAll), and on the suite's word sends what logind
// sends when a screen locks or the machine sleeps: Session.Lock / Unlock with LockedHint
// changed, Manager.PrepareForSleep. The suite drives it through its own interface,
// org.quorvel.DesktopSuite on /org/freedesktop/login1: Lock, Unlock, Sleep, Wake.
// Every call it gets is printed on standard output.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <cstdio>

namespace {

const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

class Logind final : public QDBusVirtualObject {
public:
    explicit Logind(QDBusConnection bus) : m_bus(std::move(bus)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection&) override {
        const QString member = call.member();
        QStringList arguments;
        for (const QVariant& a : call.arguments()) {
            arguments << a.toString();
        }
        std::printf("%s.%s(%s) on %s\n", qPrintable(call.interface()), qPrintable(member),
                    qPrintable(arguments.join(QStringLiteral(", "))), qPrintable(call.path()));
        std::fflush(stdout);
        if (member == QStringLiteral("GetSessionByPID") || member == QStringLiteral("GetSession")) {
            return reply(call, {QVariant::fromValue(QDBusObjectPath(sessionPath))});
        }
        if (call.path() == sessionPath && member == QStringLiteral("Get") &&
            call.arguments().value(1).toString() == QStringLiteral("LockedHint")) {
            return reply(call, {QVariant::fromValue(QDBusVariant(m_locked))});
        }
        if (call.path() == sessionPath && member == QStringLiteral("GetAll")) {
            return reply(call, {QVariantMap{{QStringLiteral("LockedHint"), m_locked}}});
        }
        if (call.interface() == QStringLiteral("org.quorvel.DesktopSuite")) {
            if (member == QStringLiteral("Lock") || member == QStringLiteral("Unlock")) {
                m_locked = member == QStringLiteral("Lock");
                send(sessionPath, sessionInterface, member, {});
                send(sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                     QStringLiteral("PropertiesChanged"),
                     {sessionInterface, QVariantMap{{QStringLiteral("LockedHint"), m_locked}},
                      QStringList()});
            } else {
                send(managerPath, QStringLiteral("org.freedesktop.login1.Manager"),
                     QStringLiteral("PrepareForSleep"), {member == QStringLiteral("Sleep")});
            }
            return reply(call, {});
        }
        m_bus.send(call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                         member));
        return true;
    }

private:
    bool reply(const QDBusMessage& call, const QVariantList& values) {
        m_bus.send(call.createReply(values));
        return true;
    }
    void send(const QString& path, const QString& interface, const QString& name,
              const QVariantList& values) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(values);
        m_bus.send(signal);
    }

    QDBusConnection m_bus;
    bool m_locked = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    Logind logind(bus);
    if (!bus.isConnected() ||
        !bus.registerVirtualObject(managerPath, &logind, QDBusConnection::SubPath) ||
        !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "logind-standin: cannot serve on the system bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
