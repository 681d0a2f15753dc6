#include "testhttpserver.h"

#include "app/buildconfig.h"
#include "app/tlstrust.h"

#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#ifndef VELTRO_TEST_CERT_DIR
#error "VELTRO_TEST_CERT_DIR must name the folder of the test certificates"
#endif

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// The headers that end the body: its length, or the closing of the connection.
HeaderList framed(const HeaderList &headers, qsizetype bodySize, bool withLength)
{
    HeaderList all = headers;
    if (withLength)
        all.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(bodySize)));
    else
        all.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
    return all;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return {};
}

HttpConnection::HttpConnection(QTcpSocket *socket)
    : QObject(socket), m_socket(socket)
{
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
}

void HttpConnection::onReadyRead()
{
    m_buffer += m_socket->readAll();
    for (;;) {
        const int end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        HttpRequest request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append(
                    qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
        }
        const qsizetype length = request.header("Content-Length").toLongLong();
        if (m_buffer.size() < end + 4 + length)
            return;
        request.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        m_request = request;
        emit requestReceived();
    }
}

void HttpConnection::respondHeaders(int status, const HeaderList &headers)
{
    QByteArray head
        = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &pair : headers)
        head += pair.first + ": " + pair.second + "\r\n";
    head += "\r\n";
    write(head);
}

void HttpConnection::respond(int status, const QByteArray &body, const HeaderList &headers,
                             bool withLength)
{
    const HeaderList all = framed(headers, body.size(), withLength);
    respondHeaders(status, all);
    if (m_request.method != "HEAD")
        write(body);
    if (!withLength)
        close();
}

void HttpConnection::write(const QByteArray &bytes)
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

void HttpConnection::respondCut(int status, const QByteArray &body, qsizetype sent,
                                const HeaderList &headers, bool reset, int holdMs)
{
    const HeaderList all = framed(headers, body.size(), true);
    respondHeaders(status, all);
    write(body.left(sent));
    if (holdMs > 0) {
        QElapsedTimer held;
        held.start();
        while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(holdMs)) {
        }
        reset ? abort() : close();
        QThread::msleep(ulong(qMax<qint64>(0, holdMs - held.elapsed())));
        return;
    }
    if (!reset) {
        close();
        return;
    }
    // What has been handed to the system still leaves before the reset.
    m_socket->flush();
    abort();
}

void HttpConnection::trickle(int status, const QByteArray &body, qsizetype chunkSize,
                             int intervalMs, const HeaderList &headers, bool withLength)
{
    const HeaderList all = framed(headers, body.size(), withLength);
    respondHeaders(status, all);
    if (m_request.method == "HEAD") {
        if (!withLength)
            close();
        return;
    }
    sendNextPiece(body, chunkSize, intervalMs, !withLength);
}

void HttpConnection::writeSlowly(const QByteArray &bytes, qsizetype chunkSize, int intervalMs)
{
    sendNextPiece(bytes, chunkSize, intervalMs, false);
}

void HttpConnection::sendNextPiece(QByteArray rest, qsizetype chunkSize, int intervalMs,
                                   bool closeAtEnd)
{
    if (rest.isEmpty()) {
        emit slowWriteDone();
        if (closeAtEnd)
            close();
        return;
    }
    write(rest.left(chunkSize));
    rest.remove(0, qMin(chunkSize, rest.size()));
    // The socket as context: a connection the client dropped ends the trickle.
    QTimer::singleShot(intervalMs, m_socket, [this, rest, chunkSize, intervalMs, closeAtEnd] {
        sendNextPiece(rest, chunkSize, intervalMs, closeAtEnd);
    });
}

void HttpConnection::close()
{
    m_socket->disconnectFromHost();
}

void HttpConnection::abort()
{
    m_socket->abort();
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QTcpServer(parent)
{
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start(bool tls)
{
    m_tls = tls;
    return listen(QHostAddress::LocalHost, 0);
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(QString("%1://127.0.0.1:%2%3")
                    .arg(m_tls ? "https" : "http")
                    .arg(serverPort())
                    .arg(path));
}

int TestHttpServer::requestCount(const QByteArray &method, const QByteArray &path) const
{
    int n = 0;
    for (const HttpRequest &request : m_requests)
        n += (request.method == method && request.path == path) ? 1 : 0;
    return n;
}

void TestHttpServer::serve(const QByteArray &path, const QByteArray &body, int status,
                           const HeaderList &headers)
{
    route(path, [body, status, headers](HttpConnection *connection) {
        connection->respond(status, body, headers);
    });
}

void TestHttpServer::trustTestAuthority()
{
    trustExtraCertificateAuthorities(extraCertificateAuthorities());
}

void TestHttpServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = nullptr;
    if (m_tls) {
        auto *sslSocket = new QSslSocket(this);
        if (!sslSocket->setSocketDescriptor(descriptor)) {
            delete sslSocket;
            return;
        }
        // The whole chain, server certificate first, as a server must send it.
        sslSocket->setLocalCertificateChain(
            QSslCertificate::fromPath(QStringLiteral(VELTRO_TEST_CERT_DIR "/server.pem")));
        sslSocket->setPrivateKey(QStringLiteral(VELTRO_TEST_CERT_DIR "/server.key"));
        sslSocket->startServerEncryption();
        socket = sslSocket;
    } else {
        socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto *connection = new HttpConnection(socket);
    connect(connection, &HttpConnection::requestReceived, this, [this, connection] {
        m_requests.append(connection->request());
        QByteArray path = connection->request().path;
        const int query = path.indexOf('?');
        if (query >= 0)
            path.truncate(query);
        const auto route = m_routes.constFind(path);
        if (route != m_routes.constEnd())
            route.value()(connection);
        else if (m_handler)
            m_handler(connection);
        else
            connection->respond(404, "no handler");
    });
}
