#include "app/SingleInstance.h"

#include "app/Activation.h"
#include "app/AppLogging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <unistd.h>

namespace quorvel {

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() {
    // A name without a folder (no runtime folder) keeps its lock in the temporary folder.
    const QString lockPath = QDir::isAbsolutePath(m_name)
                                 ? m_name + QStringLiteral(".lock")
                                 : QDir::temp().filePath(m_name + QStringLiteral(".lock"));
    m_lock = std::make_unique<QLockFile>(lockPath);
    m_lock->setStaleLockTime(0); // stale only when its process is gone, never by age
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        return false;
    }
    return true;
}

QString SingleInstance::defaultName() {
    // In the user's private runtime folder: a name in the shared /tmp could be taken by
    // another user first, who would then keep Quorvel from starting.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty()) {
        return QDir(runtime).filePath(QStringLiteral("quorvel.socket"));
    }
    return QStringLiteral("quorvel-%1").arg(::getuid());
}

bool SingleInstance::handOverToRunningInstance(const QByteArray& activationToken, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(m_name);
        if (socket.waitForConnected(int(deadline.remainingTime()))) {
            break;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50); // it holds the lock, so it is about to listen
    }
    QByteArray request = "show";
    if (isUsableActivationToken(activationToken)) {
        request += ' ' + activationToken;
    }
    socket.write(request + '\n');
    socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    if (!m_lock) {
        // Not the holder: listening would take the name from the copy that holds it (with
        // access options, Qt moves its socket over whatever file has the name).
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // With the lock ours, a socket file is left behind by a copy that is gone.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name)) {
            return false;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            // One line: "show" or "show TOKEN". A client that says more is cut off.
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > 1024) {
                        socket->abort();
                    }
                    return;
                }
                const QByteArray line = socket->readLine(1024).trimmed();
                socket->disconnectFromServer();
                qCInfo(lcApp, "a second launch asked for the panel");
                if (line == "show") {
                    Q_EMIT showRequested({});
                } else if (line.startsWith("show ")) {
                    const QByteArray token = line.mid(5);
                    Q_EMIT showRequested(isUsableActivationToken(token) ? token : QByteArray());
                }
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}

} // namespace quorvel
