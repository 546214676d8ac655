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

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

constexpr qint64 endlessChunk = 16 * 1024;
constexpr qint64 endlessLimit = 64LL * 1024 * 1024; // a safety net, far beyond any client bound

QSslCertificate testCertificate() {
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromData(readFile(testDataPath(QStringLiteral("tls/localhost.crt"))));
    if (certificates.isEmpty()) {
        throw std::runtime_error("cannot read the test certificate");
    }
    return certificates.first();
}

QTcpServer* makeServer(LocalHttpServer::Transport transport, QObject* parent) {
    if (transport == LocalHttpServer::Transport::plain) {
        return new QTcpServer(parent);
    }
    const QSslKey key(readFile(testDataPath(QStringLiteral("tls/localhost.key"))), QSsl::Ec);
    if (key.isNull()) {
        throw std::runtime_error("cannot read the test key");
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(testCertificate());
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    auto* server = new QSslServer(parent);
    server->setSslConfiguration(configuration);
    return server;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

int HttpRequest::headerCount(const QByteArray& name) const {
    int count = 0;
    for (const auto& header : headers) {
        count += header.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
    }
    return count;
}

HttpResponse HttpResponse::json(const QByteArray& body, int status) {
    HttpResponse r;
    r.status = status;
    r.headers = {{"Content-Type", "application/json"}};
    r.body = body;
    return r;
}

HttpResponse HttpResponse::withStatus(int status, const QByteArray& body) {
    HttpResponse r;
    r.status = status;
    r.body = body;
    return r;
}

HttpResponse HttpResponse::redirect(const QByteArray& location, int status) {
    HttpResponse r;
    r.status = status;
    r.headers = {{"Location", location}};
    return r;
}

HttpResponse HttpResponse::silent() {
    HttpResponse r;
    r.mode = Mode::silent;
    return r;
}

HttpResponse HttpResponse::endless() {
    HttpResponse r;
    r.mode = Mode::endless;
    return r;
}

void LocalHttpServer::trustTestCertificate() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(testCertificate());
    QSslConfiguration::setDefaultConfiguration(configuration);
}

LocalHttpServer::LocalHttpServer(Transport transport, QObject* parent)
    : QObject(parent), m_transport(transport), m_server(makeServer(transport, this)),
      m_default(HttpResponse::withStatus(404)) {
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        throw std::runtime_error("cannot listen on 127.0.0.1: " +
                                 m_server->errorString().toStdString());
    }
    // Emitted for TLS connections only once their handshake is done.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &LocalHttpServer::onNewConnection);
}

LocalHttpServer::~LocalHttpServer() = default;

bool LocalHttpServer::isListening() const {
    return m_server->isListening();
}

quint16 LocalHttpServer::port() const {
    return m_server->serverPort();
}

QString LocalHttpServer::baseURL() const {
    const char* scheme = m_transport == Transport::tls ? "https" : "http";
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port());
}

void LocalHttpServer::setResponse(HttpResponse response) {
    m_default = std::move(response);
}

void LocalHttpServer::setResponse(const QByteArray& target, HttpResponse response) {
    m_byTarget.insert(target, std::move(response));
}

void LocalHttpServer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        ++m_connections;
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void LocalHttpServer::onReadyRead(QTcpSocket* socket) {
    if (!m_buffers.contains(socket)) {
        socket->readAll();
        return;
    }
    QByteArray& buffer = m_buffers[socket];
    buffer.append(socket->readAll());
    if (buffer.startsWith('\x16')) { // TLS record: handshake
        ++m_tlsHandshakes;
        m_buffers.remove(socket);
        socket->abort();
        Q_EMIT tlsHandshakeReceived();
        return;
    }
    // Requests without a body (GET), possibly several on one kept-alive connection.
    qsizetype end;
    while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        HttpRequest request;
        const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        request.version = parts.value(2);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
            }
        }
        m_requests.append(request);
        const HttpResponse response = m_byTarget.value(request.target, m_default);
        Q_EMIT requestReceived();
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
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonPhrase(response.status) + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
    }
    if (response.mode == HttpResponse::Mode::endless) {
        head += "Content-Type: application/json\r\nConnection: close\r\n\r\n";
        socket->write(head);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { feedEndless(socket); });
        feedEndless(socket);
        return;
    }
    const bool bodyless = response.status == 204 || response.status == 304;
    if (!hasLength && !bodyless) {
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
