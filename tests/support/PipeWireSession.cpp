#include "support/PipeWireSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <atomic>
#include <csignal>

namespace {

// Round trips take milliseconds; this is for a machine that is very busy.
constexpr int patience = 30000;

const QString dialogName = QStringLiteral("org.freedesktop.impl.portal.desktop.quorveltests");
const QString storeName = QStringLiteral("org.freedesktop.impl.portal.PermissionStore");
const QString storePath = QStringLiteral("/org/freedesktop/impl/portal/PermissionStore");

} // namespace

// The desktop's access dialog, as GNOME's and KDE's portal backends show it: answers at once.
class AccessDialogStandIn final : public QDBusVirtualObject {
public:
    explicit AccessDialogStandIn(const QString& address)
        : m_bus(
              QDBusConnection::connectToBus(address, QStringLiteral("access-dialog ") + address)) {
        m_bus.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath);
        m_bus.registerService(dialogName);
    }
    ~AccessDialogStandIn() override {
        m_bus.unregisterService(dialogName);
        m_bus.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(m_bus.name());
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& via) override {
        if (call.member() != QLatin1String("AccessDialog")) {
            via.send(call.createErrorReply(QDBusError::UnknownMethod, call.member()));
            return true;
        }
        ++m_shown;
        via.send(call.createReply({QVariant::fromValue(m_answer.load()), QVariantMap()}));
        return true;
    }
    QDBusConnection bus() const { return m_bus; }

    std::atomic<uint> m_answer{0};
    std::atomic<int> m_shown{0};

private:
    QDBusConnection m_bus;
};

PipeWireSession::PipeWireSession() {
    const QString root = m_folder.path();
    QDir().mkpath(root + "/run");
    QFile::setPermissions(root + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert("XDG_RUNTIME_DIR", root + "/run");
    m_environment.insert("PIPEWIRE_RUNTIME_DIR", root + "/run");
    // WirePlumber with its device monitors off (wireplumber/ there, for 0.4 and 0.5).
    m_environment.insert("XDG_CONFIG_HOME", QStringLiteral(QUORVEL_TEST_DATA_DIR));
    m_environment.insert("XDG_STATE_HOME", root + "/state");
    m_environment.insert("XDG_DATA_HOME", root + "/data"); // the portal's permission store
    // The desktop portal's backends: none of the machine's (a portal the bus starts finds no
    // access dialog, so no camera portal), the test's own once startPortal() writes it.
    QDir().mkpath(root + "/portals");
    m_environment.insert("XDG_DESKTOP_PORTAL_DIR", root + "/portals");
    m_environment.remove("PIPEWIRE_REMOTE");
}

PipeWireSession::~PipeWireSession() {
    // The clients first, the daemon, the bus last.
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
        end(it->get());
    }
    if (m_dialogThread) {
        m_dialogThread->quit();
        m_dialogThread->wait();
    }
}

void PipeWireSession::end(QProcess* process) {
    if (process == nullptr || process->state() == QProcess::NotRunning) {
        return;
    }
    process->terminate();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(patience);
    }
}

QProcess* PipeWireSession::spawn(const QString& program, const QStringList& arguments,
                                 const QString& name) {
    auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
    process->setObjectName(name);
    process->setProcessEnvironment(m_environment);
    process->start(program, arguments);
    return process.get();
}

bool PipeWireSession::daemonLists(const QString& type, const QString& what) const {
    QProcess cli;
    cli.setProcessEnvironment(m_environment);
    cli.start(QStringLiteral("pw-cli"), {QStringLiteral("ls"), type});
    cli.waitForFinished(patience);
    return cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0 &&
           QString::fromUtf8(cli.readAllStandardOutput()).contains(what);
}

bool PipeWireSession::start(QString* error) {
    m_bus = spawn(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--print-address"),
                   QStringLiteral("--nofork")},
                  QStringLiteral("dbus-daemon"));
    if (!m_bus->waitForReadyRead(patience)) {
        *error = QStringLiteral("the session bus did not start");
        return false;
    }
    m_environment.insert("DBUS_SESSION_BUS_ADDRESS",
                         QString::fromLocal8Bit(m_bus->readLine()).trimmed());
    return startDaemon(error);
}

bool PipeWireSession::startDaemon(QString* error) {
    m_daemon = spawn(QStringLiteral("pipewire"), {}, QStringLiteral("pipewire"));
    if (!m_daemon->waitForStarted(patience)) {
        *error = QStringLiteral("pipewire did not start: %1").arg(m_daemon->errorString());
        return false;
    }
    QDeadlineTimer deadline(patience);
    while (!daemonLists(QStringLiteral("Core"), QStringLiteral("pipewire-0"))) {
        if (deadline.hasExpired() || m_daemon->state() == QProcess::NotRunning) {
            *error = QStringLiteral("pipewire does not answer");
            return false;
        }
        QThread::msleep(20);
    }
    m_manager = spawn(QStringLiteral("wireplumber"), {}, QStringLiteral("wireplumber"));
    while (!daemonLists(QStringLiteral("Client"), QStringLiteral("WirePlumber"))) {
        if (deadline.hasExpired() || m_manager->state() == QProcess::NotRunning) {
            *error = QStringLiteral("WirePlumber did not join the daemon");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void PipeWireSession::stopDaemon() {
    // WirePlumber and the cameras lose the daemon and leave; they are ended where they don't.
    end(m_daemon);
    for (auto& process : m_processes) {
        if (process.get() != m_bus) {
            end(process.get());
        }
    }
}

bool PipeWireSession::restartDaemon(QString* error) {
    return startDaemon(error);
}

void PipeWireSession::applyToThisProcess() const {
    for (const char* name :
         {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
        qputenv(name, m_environment.value(QString::fromLatin1(name)).toLocal8Bit());
    }
    qunsetenv("PIPEWIRE_REMOTE");
}

QProcess* PipeWireSession::startCamera(const QStringList& arguments, QString* error) {
    QProcess* camera = spawn(QStringLiteral(QUORVEL_CAMERA_NODE), arguments,
                             QStringLiteral("quorvel-camera-node"));
    QDeadlineTimer deadline(patience);
    QByteArray said;
    while (!said.contains("ready ")) {
        if (deadline.hasExpired() || !camera->waitForReadyRead(int(deadline.remainingTime()))) {
            *error = QStringLiteral("the camera node did not come: %1")
                         .arg(QString::fromLocal8Bit(camera->readAllStandardError()));
            return nullptr;
        }
        said += camera->readAllStandardOutput();
    }
    return camera;
}

bool PipeWireSession::startPortal(QString* error) {
    const QString root = m_folder.path();
    QFile file(root + "/portals/quorvel-tests.portal");
    if (!file.open(QIODevice::WriteOnly) ||
        file.write("[portal]\nDBusName=" + dialogName.toUtf8() +
                   "\nInterfaces=org.freedesktop.impl.portal.Access;\nUseIn=quorvel-tests\n") < 0) {
        *error = QStringLiteral("cannot write the portal's backend file");
        return false;
    }
    file.close();
    // The backend by its file, and by the desktop's portals.conf where the portal reads one
    // (xdg-desktop-portal/ in the tests' configuration folder).
    m_environment.insert("XDG_CURRENT_DESKTOP", QStringLiteral("quorvel-tests"));
    const QString address = m_environment.value("DBUS_SESSION_BUS_ADDRESS");
    // Answering on a thread of its own: the portal waits for it while this one waits for
    // the portal.
    m_dialog = std::make_unique<AccessDialogStandIn>(address);
    m_dialogThread = std::make_unique<QThread>();
    m_dialog->moveToThread(m_dialogThread.get());
    m_dialogThread->start();
    QProcess* portal = spawn(QStringLiteral(QUORVEL_XDG_DESKTOP_PORTAL),
                             {QStringLiteral("--replace")}, QStringLiteral("xdg-desktop-portal"));
    QDeadlineTimer deadline(patience);
    while (!m_dialog->bus().interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.portal.Desktop"))) {
        if (deadline.hasExpired() || portal->state() == QProcess::NotRunning) {
            *error = QStringLiteral("xdg-desktop-portal did not start");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void PipeWireSession::setDialogAnswer(uint answer) {
    m_dialog->m_answer = answer;
}

int PipeWireSession::dialogsShown() const {
    return m_dialog->m_shown;
}

void PipeWireSession::setCameraPermission(const QString& decision) {
    QDBusMessage call = decision.isEmpty()
                            ? QDBusMessage::createMethodCall(storeName, storePath, storeName,
                                                             QStringLiteral("Delete"))
                            : QDBusMessage::createMethodCall(storeName, storePath, storeName,
                                                             QStringLiteral("SetPermission"));
    if (decision.isEmpty()) {
        call << QStringLiteral("devices") << QStringLiteral("camera");
    } else {
        call << QStringLiteral("devices") << true << QStringLiteral("camera") << QString()
             << QStringList{decision};
    }
    m_dialog->bus().call(call, QDBus::Block, patience);
}

QString PipeWireSession::cameraPermission() const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(storeName, storePath, storeName, QStringLiteral("Lookup"));
    call << QStringLiteral("devices") << QStringLiteral("camera");
    const QDBusMessage reply = m_dialog->bus().call(call, QDBus::Block, patience);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return {};
    }
    // a{sas}: the decision of each program; "" is every program outside a sandbox.
    const QDBusArgument table = reply.arguments().value(0).value<QDBusArgument>();
    QMap<QString, QStringList> decisions;
    table >> decisions;
    return decisions.value(QString()).join(QLatin1Char(','));
}

QString PipeWireSession::log() const {
    QString text;
    for (const auto& process : m_processes) {
        text += QStringLiteral("--- %1\n%2")
                    .arg(process->objectName(),
                         QString::fromLocal8Bit(process->readAllStandardError()));
    }
    return text;
}
