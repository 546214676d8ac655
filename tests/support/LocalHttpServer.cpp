#include "support/LocalHttpServer.h"

#include "support/TestSupport.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <stdexcept>

namespace quorvel::test {

namespace {

constexpr qint64 endlessChunk = 16 * 1024;
constexpr qint64 endlessLimit = 64LL * 1024 * 1024; // a safety net, far beyond any client bound

QByteArray tlsFile(const char* name) {
    const QByteArray data = readFile(testDataPath(QStringLiteral("tls/") + QLatin1String(name)));
    if (data.isEmpty()) {
        throw std::runtime_error(std::string("cannot read the test file tls/") + name);
    }
    return data;
}

QSslCertificate testCertificate() {
    return QSslCertificate::fromData(tlsFile("localhost.crt")).value(0);
}

QTcpServer* makeServer(LocalHttpServer::Transport transport, QObject* parent) {
    if (transport == LocalHttpServer::Transport::plain) {
        return new QTcpServer(parent);
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(testCertificate());
    configuration.setPrivateKey(QSslKey(tlsFile("localhost.key"), QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    auto* server = new QSslServer(parent);
    server->setSslConfiguration(configuration);
    return server;
}

} // namespace

QList<QByteArray> HttpRequest::header(const QByteArray& name) const {
    QList<QByteArray> values;
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            values.append(value);
        }
    }
    return values;
}

void LocalHttpServer::trustTestCertificate() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(testCertificate());
    QSslConfiguration::setDefaultConfiguration(configuration);
}

LocalHttpServer::LocalHttpServer(Transport transport)
    : m_transport(transport), m_server(makeServer(transport, this)) {
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        throw std::runtime_error("cannot listen on 127.0.0.1: " +
                                 m_server->errorString().toStdString());
    }
    // Emitted for TLS connections only once their handshake is done.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            ++m_connections;
            m_buffers.insert(socket, {});
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

QString LocalHttpServer::baseURL() const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_transport == Transport::tls ? "https" : "http")
        .arg(m_server->serverPort());
}

void LocalHttpServer::onReadyRead(QTcpSocket* socket) {
    if (!m_buffers.contains(socket)) {
        socket->readAll();
        return;
    }
    QByteArray& buffer = m_buffers[socket];
    buffer.append(socket->readAll());
    // Requests without a body (GET), possibly several on one kept-alive connection.
    qsizetype end;
    while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        HttpRequest request;
        const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        for (const QByteArray& line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
            }
        }
        m_requests.append(request);
        const HttpResponse response = m_byTarget.value(request.target, m_default);
        respond(socket, response);
        if (response.mode != HttpResponse::Mode::complete) {
            m_buffers.remove(socket); // this connection is done with requests
            return;
        }
    }
}

void LocalHttpServer::respond(QTcpSocket* socket, const HttpResponse& response) {
    if (response.mode == HttpResponse::Mode::silent) {
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    if (response.mode == HttpResponse::Mode::endless) {
        head += "Content-Type: application/json\r\nConnection: close\r\n\r\n";
        socket->write(head);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { feedEndless(socket); });
        feedEndless(socket);
        return;
    }
    const bool bodyless = response.status == 204 || response.status == 304;
    if (!bodyless) {
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    socket->write(head + "\r\n" + (bodyless ? QByteArray() : response.body));
}

void LocalHttpServer::feedEndless(QTcpSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0) {
        return;
    }
    if (m_endlessBytes >= endlessLimit) {
        socket->disconnectFromHost();
        return;
    }
    // Whitespace: a JSON document that never gets to its first token.
    socket->write(QByteArray(endlessChunk, ' '));
    m_endlessBytes += endlessChunk;
}

} // namespace quorvel::test
