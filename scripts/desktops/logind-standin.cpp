// A stand-in for logind on the desktop suite's private system bus (DBUS_SYSTEM_BUS_ADDRESS):
// it owns org.freedesktop.login1, hands every caller the same session from
// Manager.GetSessionByPID / GetSession, answers that session's properties (Id, Active,
// LockedHint) and the manager's PreparingForSleep through org.freedesktop.DBus.Properties (Get,
// GetAll), and behaves as logind does: Session.Lock and Unlock are requests to the session's
// locker, which sets LockedHint itself (Session.SetLockedHint), or does not.
//
// The locker follows a profile, chosen with --locker=NAME (default "hint") or SetLocker(s):
//   hint     a locker that reports: LockedHint true on Lock, false on Unlock (the suite's
//            lock check as it has always run)
//   gnome    GNOME Shell: LockedHint, and org.gnome.ScreenSaver ActiveChanged on the session
//            bus (DBUS_SESSION_BUS_ADDRESS) when that name is free to take
//   kde      KDE's locker: LockedHint, and org.freedesktop.ScreenSaver likewise
//   silent   xss-lock with i3lock, or swaylock started by swayidle: nothing is reported
//   desktop  the desktop's own locker (GNOME Shell's screen shield, KDE's), which hears the
//            signals itself and reports through SetLockedHint and its own screen-saver name
// With --display-manager it also owns org.gnome.DisplayManager, giving only the Manager's
// Version: with that and /run/systemd/seats GNOME Shell knows it can lock, as under GDM.
// The suite drives it through org.quorvel.DesktopSuite on /org/freedesktop/login1:
//   Lock, Unlock        logind's Lock / Unlock signals (loginctl lock-session, unlock-session);
//                       the locker answers as its profile says
//   UnlockByUser        the user unlocks in the locker: it clears what it reported, and logind
//                       sends no signal
//   Sleep, Wake         PrepareForSleep(true/false), with PreparingForSleep following
//   WakeSilently        awake again (PreparingForSleep false) but PrepareForSleep(false) lost
//   SetLocker(s)        another profile from now on
//   Restart             logind restarts: the name is given up and taken again a second later
// Every call it gets is printed on standard output; "ready" once it serves.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTimer>
#include <cstdio>

namespace {

const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString logindName = QStringLiteral("org.freedesktop.login1");
const QStringList profiles{"hint", "gnome", "kde", "silent", "desktop"};

// A screen saver's own object on the session bus: GetActive and ActiveChanged.
class ScreenSaver final : public QDBusVirtualObject {
public:
    ScreenSaver(QString service, QString path) : m_service(std::move(service)), m_path(path) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        bus.send(call.member() == QStringLiteral("GetActive")
                     ? call.createReply(QVariantList{m_active})
                     : call.createErrorReply(QDBusError::UnknownMethod, call.member()));
        return true;
    }
    // Takes the name if it is free (a real desktop may hold it).
    bool serve(QDBusConnection bus) {
        m_bus = bus;
        return m_bus.isConnected() &&
               m_bus.registerVirtualObject(m_path, this, QDBusConnection::SingleNode) &&
               m_bus.registerService(m_service);
    }
    void setActive(bool active) {
        m_active = active;
        QDBusMessage signal =
            QDBusMessage::createSignal(m_path, m_service, QStringLiteral("ActiveChanged"));
        signal << active;
        m_bus.send(signal);
    }

private:
    QString m_service;
    QString m_path;
    QDBusConnection m_bus{QStringLiteral("none")};
    bool m_active = false;
};

// GDM's manager, as far as GNOME Shell asks it whether the session can be locked.
class DisplayManager final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        std::printf("%s.%s on %s\n", qPrintable(call.interface()), qPrintable(call.member()),
                    qPrintable(call.path()));
        std::fflush(stdout);
        const bool version = call.member() == QStringLiteral("Get") &&
                             call.arguments().value(1).toString() == QStringLiteral("Version");
        bus.send(version ? call.createReply(QVariantList{
                               QVariant::fromValue(QDBusVariant(QStringLiteral("48.0")))})
                         : call.createErrorReply(QDBusError::UnknownMethod, call.member()));
        return true;
    }
};

class Logind final : public QDBusVirtualObject {
public:
    Logind(QDBusConnection bus, QString profile)
        : m_bus(std::move(bus)), m_profile(std::move(profile)),
          m_gnome(QStringLiteral("org.gnome.ScreenSaver"),
                  QStringLiteral("/org/gnome/ScreenSaver")),
          m_kde(QStringLiteral("org.freedesktop.ScreenSaver"),
                QStringLiteral("/org/freedesktop/ScreenSaver")) {
        // The desktop's own locker keeps its names.
        if (m_profile != QStringLiteral("desktop") &&
            !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            const QDBusConnection session = QDBusConnection::sessionBus();
            m_haveGnome = m_gnome.serve(session);
            m_haveKde = m_kde.serve(session);
        }
    }

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
        if (call.interface() == propertiesInterface) {
            return properties(call);
        }
        if (member == QStringLiteral("SetLockedHint") && call.path() == sessionPath) {
            setLockedHint(call.arguments().value(0).toBool());
            return reply(call, {});
        }
        if (call.interface() == QStringLiteral("org.quorvel.DesktopSuite")) {
            return suite(call);
        }
        return error(call, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
    }

private:
    bool properties(const QDBusMessage& call) {
        const QString property = call.arguments().value(1).toString();
        const QVariantMap session{{QStringLiteral("Id"), QStringLiteral("31")},
                                  {QStringLiteral("Active"), true},
                                  {QStringLiteral("LockedHint"), m_locked}};
        if (call.member() == QStringLiteral("GetAll")) {
            return reply(call,
                         {call.path() == sessionPath
                              ? session
                              : QVariantMap{{QStringLiteral("PreparingForSleep"), m_sleeping}}});
        }
        if (call.path() == sessionPath && session.contains(property)) {
            return reply(call, {QVariant::fromValue(QDBusVariant(session.value(property)))});
        }
        if (call.path() == managerPath && property == QStringLiteral("PreparingForSleep")) {
            return reply(call, {QVariant::fromValue(QDBusVariant(m_sleeping))});
        }
        return error(call, QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"));
    }

    bool suite(const QDBusMessage& call) {
        const QString member = call.member();
        if (member == QStringLiteral("Lock") || member == QStringLiteral("Unlock")) {
            const bool lock = member == QStringLiteral("Lock");
            send(sessionPath, sessionInterface, member, {});
            lockerSays(lock);
        } else if (member == QStringLiteral("UnlockByUser")) {
            lockerSays(false);
        } else if (member == QStringLiteral("Sleep") || member == QStringLiteral("Wake") ||
                   member == QStringLiteral("WakeSilently")) {
            m_sleeping = member == QStringLiteral("Sleep");
            if (member != QStringLiteral("WakeSilently")) {
                send(managerPath, managerInterface, QStringLiteral("PrepareForSleep"),
                     {m_sleeping});
            }
        } else if (member == QStringLiteral("SetLocker") &&
                   profiles.contains(call.arguments().value(0).toString())) {
            m_profile = call.arguments().value(0).toString();
        } else if (member == QStringLiteral("Restart")) {
            reply(call, {});
            m_bus.unregisterService(logindName);
            QTimer::singleShot(1000, [this] { m_bus.registerService(logindName); });
            return true;
        } else {
            return error(call, QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
        }
        return reply(call, {});
    }

    // The locker's own report, as its profile has it.
    void lockerSays(bool locked) {
        if (m_profile == QStringLiteral("silent") || m_profile == QStringLiteral("desktop") ||
            m_locked == locked) {
            return;
        }
        setLockedHint(locked);
        if (m_profile == QStringLiteral("gnome") && m_haveGnome) {
            m_gnome.setActive(locked);
        } else if (m_profile == QStringLiteral("kde") && m_haveKde) {
            m_kde.setActive(locked);
        }
    }

    void setLockedHint(bool locked) {
        if (m_locked == locked) {
            return;
        }
        m_locked = locked;
        send(
            sessionPath, propertiesInterface, QStringLiteral("PropertiesChanged"),
            {sessionInterface, QVariantMap{{QStringLiteral("LockedHint"), locked}}, QStringList()});
    }

    bool reply(const QDBusMessage& call, const QVariantList& values) {
        m_bus.send(call.createReply(values));
        return true;
    }
    bool error(const QDBusMessage& call, const QString& name) {
        m_bus.send(call.createErrorReply(name, call.member()));
        return true;
    }
    void send(const QString& path, const QString& interface, const QString& name,
              const QVariantList& values) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(values);
        m_bus.send(signal);
    }

    QDBusConnection m_bus;
    QString m_profile;
    ScreenSaver m_gnome;
    ScreenSaver m_kde;
    bool m_haveGnome = false;
    bool m_haveKde = false;
    bool m_locked = false;
    bool m_sleeping = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString profile = QStringLiteral("hint");
    bool displayManager = false;
    for (const QString& argument : QCoreApplication::arguments().mid(1)) {
        if (argument.startsWith(QStringLiteral("--locker=")) &&
            profiles.contains(argument.mid(9))) {
            profile = argument.mid(9);
        } else if (argument == QStringLiteral("--display-manager")) {
            displayManager = true;
        } else {
            std::fprintf(stderr, "usage: logind-standin [--locker=%s] [--display-manager]\n",
                         qPrintable(profiles.join(u'|')));
            return 2;
        }
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    Logind logind(bus, profile);
    DisplayManager gdm;
    if (!bus.isConnected() ||
        !bus.registerVirtualObject(managerPath, &logind, QDBusConnection::SubPath) ||
        !bus.registerService(logindName) ||
        (displayManager &&
         (!bus.registerVirtualObject(QStringLiteral("/org/gnome/DisplayManager/Manager"), &gdm) ||
          !bus.registerService(QStringLiteral("org.gnome.DisplayManager"))))) {
        std::fprintf(stderr, "logind-standin: cannot serve on the system bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
