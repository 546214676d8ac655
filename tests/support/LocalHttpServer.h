#pragma once

#include <QHash>
#include <QObject>
#include <utility>

class QTcpServer;
class QTcpSocket;

namespace quorvel::test {

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

// One request as it arrived: "GET", "/api/v1/...", and the headers in arrival order.
struct HttpRequest {
    QByteArray method;
    QByteArray target;
    HttpHeaders headers;

    // Every value of the headers called `name` (any case), in arrival order.
    QList<QByteArray> header(const QByteArray& name) const;
};

// What the server sends back: a complete answer (with Content-Length), nothing at all after
// reading the request (silent), or a 200 without length whose body never ends (endless).
struct HttpResponse {
    enum class Mode { complete, silent, endless };

    int status = 200;
    HttpHeaders headers;
    QByteArray body;
    Mode mode = Mode::complete;

    static HttpResponse json(const QByteArray& body) {
        return {200, {{"Content-Type", "application/json"}}, body};
    }
    static HttpResponse withStatus(int status, const QByteArray& body = {}) {
        return {status, {}, body};
    }
    static HttpResponse redirect(const QByteArray& location) {
        return {302, {{"Location", location}}, {}};
    }
    static HttpResponse silent() { return {200, {}, {}, Mode::silent}; }
    static HttpResponse endless() { return {200, {}, {}, Mode::endless}; }
};

// An HTTP/1.1 server on 127.0.0.1 (a free port) that records every request and answers each
// with the response set for its target, or the default one. With Transport::tls it speaks
// HTTPS with the self-signed certificate in tests/data/tls, which trustTestCertificate()
// makes this process's clients accept.
class LocalHttpServer : public QObject {
    Q_OBJECT

public:
    enum class Transport { plain, tls };

    explicit LocalHttpServer(Transport transport = Transport::plain);
    static void trustTestCertificate();

    QString baseURL() const; // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>"
    // The answer to every request without a response of its own (initially a 404).
    void setResponse(HttpResponse response) { m_default = std::move(response); }
    void setResponse(const QByteArray& target, HttpResponse response) {
        m_byTarget.insert(target, std::move(response));
    }
    QList<HttpRequest> requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }

private:
    void onReadyRead(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const HttpResponse& response);
    void feedEndless(QTcpSocket* socket);

    Transport m_transport;
    QTcpServer* m_server;
    HttpResponse m_default = HttpResponse::withStatus(404);
    QHash<QByteArray, HttpResponse> m_byTarget;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<HttpRequest> m_requests;
    int m_connections = 0;
    qint64 m_endlessBytes = 0;
};

} // namespace quorvel::test
