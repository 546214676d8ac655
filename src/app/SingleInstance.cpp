#include "app/SingleInstance.h"

#include "app/Activation.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace quorvel {

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), m_name(std::move(name)) {}

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
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
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
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // A socket left behind by a crashed instance: nobody answered, so take it over.
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
