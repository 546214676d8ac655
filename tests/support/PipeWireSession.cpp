#include "support/PipeWireSession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <csignal>

namespace {

// Round trips take milliseconds; this is for a machine that is very busy.
constexpr int patience = 30000;

} // namespace

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
    m_environment.remove("PIPEWIRE_REMOTE");
}

PipeWireSession::~PipeWireSession() {
    // The clients first, the daemon, the bus last.
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
        end(it->get());
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

QString PipeWireSession::log() const {
    QString text;
    for (const auto& process : m_processes) {
        text += QStringLiteral("--- %1\n%2")
                    .arg(process->objectName(),
                         QString::fromLocal8Bit(process->readAllStandardError()));
    }
    return text;
}
