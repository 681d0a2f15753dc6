#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One connection of the test server; handed to a route's handler, which answers through it now,
// later, partly or never (the connection lives as long as its socket).
class HttpConnection : public QObject
{
public:
    HttpConnection(QTcpSocket *socket, std::function<void(HttpConnection *)> onRequest);

    QByteArray method() const { return m_method; }
    QByteArray path() const { return m_path; }
    // A header of the request being answered; empty when it has none.
    QByteArray header(const QByteArray &name) const { return m_headers.value(name.toLower()); }

    // A complete answer; a HEAD gets the headers alone.
    void respond(int status, const QByteArray &body = {}, const HeaderList &headers = {});
    // As a static file server answers with an ETag: a GET with a Range ("bytes=N-", "a-b,c-d")
    // and a matching or no If-Range gets 206 with the range, several as multipart/byteranges, or
    // 416 past the end. More ranges than maxRanges get the whole file; 0 offers none.
    void respondFile(const QByteArray &file, const QByteArray &etag, int maxRanges = 64);
    void respondHeaders(int status, const HeaderList &headers);
    void write(const QByteArray &bytes);
    // The next answer announces its whole body, sends its first `sent` bytes and ends the
    // connection: closed, or reset.
    void cutAfter(qsizetype sent, bool reset = false)
    {
        m_cut = sent;
        m_reset = reset;
    }
    // Sends bytes in pieces of chunkSize, one every intervalMs.
    void trickle(const QByteArray &bytes, qsizetype chunkSize, int intervalMs);
    void close() { m_socket->disconnectFromHost(); }

private:
    QTcpSocket *m_socket;
    QByteArray m_buffer;
    QByteArray m_method;
    QByteArray m_path;
    QHash<QByteArray, QByteArray> m_headers; // names in lower case
    qsizetype m_cut = -1;
    bool m_reset = false;
};

// An in-process HTTP(S) server on 127.0.0.1 whose answers each test scripts per path.
class TestHttpServer : public QTcpServer
{
public:
    using Handler = std::function<void(HttpConnection *connection)>;

    // Listens on port (0: a free one) of 127.0.0.1; with tls, as HTTPS with the test certificate.
    bool start(bool tls = false, quint16 port = 0)
    {
        m_tls = tls;
        return listen(QHostAddress::LocalHost, port);
    }
    // A handler for one path (without the query); other paths get a 404.
    void route(const QByteArray &path, Handler handler) { m_routes[path] = std::move(handler); }
    void serve(const QByteArray &path, const QByteArray &body, int status = 200)
    {
        route(path, [=](HttpConnection *connection) { connection->respond(status, body); });
    }
    QString url(const QString &path) const;
    int requestCount(const QByteArray &method, const QByteArray &path) const
    {
        return int(m_requests.count({method, path}));
    }

    // Trusts the test certificate authority (in the tests' build configuration) process-wide.
    static void trustTestAuthority();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QHash<QByteArray, Handler> m_routes;
    QList<QPair<QByteArray, QByteArray>> m_requests; // method and path, in order received
    bool m_tls = false;
};
