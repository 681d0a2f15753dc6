#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method;
    QByteArray path; // as sent, with the query
    HeaderList headers; // in the order received, names as sent
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
};

// One connection of the test server; handed to the handler, which answers through it now or
// later (the connection lives as long as its socket).
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    explicit HttpConnection(QTcpSocket *socket);

    const HttpRequest &request() const { return m_request; }
    QTcpSocket *socket() const { return m_socket; }

    // A complete answer. A HEAD request gets the headers only (with the body's length, when
    // withLength is set). The connection stays open for the next request.
    void respond(int status, const QByteArray &body = {}, const HeaderList &headers = {},
                 bool withLength = true);
    // Headers alone, for handlers that send the body themselves in pieces.
    void respondHeaders(int status, const HeaderList &headers);
    void write(const QByteArray &bytes);
    // Announces the whole body's length, sends its first `sent` bytes and closes the connection:
    // a transfer cut half-way. With reset, the connection is reset instead of closed in order.
    // With holdMs, the bytes are pushed out and the connection closed while this thread (the
    // client's GUI thread, in-process) is held up for that long, so they wait unread.
    void respondCut(int status, const QByteArray &body, qsizetype sent,
                    const HeaderList &headers = {}, bool reset = false, int holdMs = 0);
    // Sends the body in pieces of chunkSize bytes, one every intervalMs, then keeps the
    // connection; with withLength unset the end of the body is marked by closing it.
    void trickle(int status, const QByteArray &body, qsizetype chunkSize, int intervalMs,
                 const HeaderList &headers = {}, bool withLength = true);
    // Writes bytes in pieces of chunkSize, one every intervalMs, then emits slowWriteDone.
    void writeSlowly(const QByteArray &bytes, qsizetype chunkSize, int intervalMs);
    // Closes the connection once what was written has left (or at once with abort).
    void close();
    void abort();

signals:
    void requestReceived();
    void slowWriteDone();

private:
    void onReadyRead();
    void sendNextPiece(QByteArray rest, qsizetype chunkSize, int intervalMs, bool closeAtEnd);

    QTcpSocket *m_socket;
    QByteArray m_buffer;
    HttpRequest m_request;
};

// An in-process HTTP(S) server on 127.0.0.1 whose answers each test scripts with a handler.
// The handler may answer at once, later, partly, or never (a stall).
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    using Handler = std::function<void(HttpConnection *connection)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on a free port of 127.0.0.1; with tls, as HTTPS with the test certificate.
    bool start(bool tls = false);
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // A handler for one path (without the query); requests of other paths go to setHandler's.
    void route(const QByteArray &path, Handler handler)
    {
        m_routes.insert(path, std::move(handler));
    }
    // Answers every request of path with status and body (HEAD: the headers alone).
    void serve(const QByteArray &path, const QByteArray &body, int status = 200,
               const HeaderList &headers = {});
    void clearRoutes() { m_routes.clear(); }
    QUrl url(const QString &path) const;
    QString urlString(const QString &path) const { return url(path).toString(); }

    // Every request received so far, in order.
    const QList<HttpRequest> &requests() const { return m_requests; }
    int requestCount(const QByteArray &method, const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }

    // Trusts the test certificate authority, which the tests' build configuration carries, in
    // every TLS connection of the process.
    static void trustTestAuthority();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Handler m_handler;
    QHash<QByteArray, Handler> m_routes;
    QList<HttpRequest> m_requests;
    bool m_tls = false;
};
