#include "testhttpserver.h"

#include "app/buildconfig.h"
#include "app/tlstrust.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#ifndef VELTRO_TEST_CERT_DIR
#error "VELTRO_TEST_CERT_DIR must name the folder of the test certificates"
#endif

HttpConnection::HttpConnection(QTcpSocket *socket) : QObject(socket), m_socket(socket)
{
    // The launcher sends GET and HEAD only: a request ends with its blank line.
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        m_buffer += m_socket->readAll();
        for (qsizetype end; (end = m_buffer.indexOf("\r\n\r\n")) >= 0;) {
            const QList<QByteArray> lines = m_buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.first().trimmed().split(' ');
            m_method = first.value(0);
            m_path = first.value(1);
            m_headers.clear();
            for (const QByteArray &line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                m_headers.insert(line.left(colon).trimmed().toLower(),
                                 line.mid(colon + 1).trimmed());
            }
            m_buffer.remove(0, end + 4);
            emit requestReceived();
        }
    });
}

void HttpConnection::respond(int status, const QByteArray &body, const HeaderList &headers,
                             bool withLength)
{
    HeaderList all = headers;
    all.append(withLength ? qMakePair(QByteArray("Content-Length"), QByteArray::number(body.size()))
                          : qMakePair(QByteArray("Connection"), QByteArray("close")));
    respondHeaders(status, all);
    if (m_method != "HEAD")
        write(m_cut < 0 ? body : body.left(m_cut));
    if (m_cut >= 0)
        endCut();
    else if (!withLength)
        close();
}

void HttpConnection::respondFile(const QByteArray &file, const QByteArray &etag)
{
    HeaderList headers{{"Accept-Ranges", "bytes"}, {"ETag", etag}};
    const QByteArray range = header("Range");
    const QByteArray ifRange = header("If-Range");
    bool ranged = false;
    const qsizetype from = range.startsWith("bytes=") && range.endsWith('-')
                               ? range.mid(6).chopped(1).toLongLong(&ranged)
                               : 0;
    if (!ranged || m_method != "GET" || !(ifRange.isEmpty() || ifRange == etag))
        return respond(200, file, headers);
    const QByteArray size = QByteArray::number(file.size());
    if (from >= file.size())
        return respond(416, {},
                       headers << qMakePair(QByteArray("Content-Range"), "bytes */" + size));
    headers.append({"Content-Range", "bytes " + QByteArray::number(from) + "-"
                                         + QByteArray::number(file.size() - 1) + "/" + size});
    respond(206, file.mid(from), headers);
}

void HttpConnection::respondHeaders(int status, const HeaderList &headers)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status)
                      + (status == 200 ? " OK" : " Status");
    for (const auto &pair : headers)
        head += "\r\n" + pair.first + ": " + pair.second;
    write(head + "\r\n\r\n");
}

void HttpConnection::write(const QByteArray &bytes)
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

void HttpConnection::cutAfter(qsizetype sent, bool reset, int holdMs)
{
    m_cut = sent;
    m_reset = reset;
    m_holdMs = holdMs;
}

void HttpConnection::endCut()
{
    QElapsedTimer held;
    held.start();
    if (m_holdMs > 0) {
        while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(m_holdMs)) {
        }
    } else {
        m_socket->flush(); // what the system has been handed still leaves before a reset
    }
    m_reset ? m_socket->abort() : close();
    QThread::msleep(ulong(qMax<qint64>(0, m_holdMs - held.elapsed())));
}

void HttpConnection::trickle(const QByteArray &bytes, qsizetype chunkSize, int intervalMs)
{
    if (bytes.isEmpty()) {
        emit trickled();
        return;
    }
    write(bytes.left(chunkSize));
    // The socket as context: a connection the client dropped ends the trickle.
    QTimer::singleShot(intervalMs, m_socket,
                       [this, rest = bytes.mid(chunkSize), chunkSize, intervalMs] {
                           trickle(rest, chunkSize, intervalMs);
                       });
}

bool TestHttpServer::start(bool tls, quint16 port)
{
    m_tls = tls;
    return listen(QHostAddress::LocalHost, port);
}

void TestHttpServer::serve(const QByteArray &path, const QByteArray &body, int status,
                           const HeaderList &headers)
{
    route(path, [=](HttpConnection *connection) { connection->respond(status, body, headers); });
}

QString TestHttpServer::url(const QString &path) const
{
    return QString("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(serverPort()).arg(path);
}

int TestHttpServer::requestCount(const QByteArray &method, const QByteArray &path) const
{
    return int(m_requests.count(qMakePair(method, path)));
}

void TestHttpServer::trustTestAuthority()
{
    trustExtraCertificateAuthorities(extraCertificateAuthorities());
}

void TestHttpServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        // The whole chain, server certificate first, as a server must send it.
        tls->setLocalCertificateChain(
            QSslCertificate::fromPath(QStringLiteral(VELTRO_TEST_CERT_DIR "/server.pem")));
        tls->setPrivateKey(QStringLiteral(VELTRO_TEST_CERT_DIR "/server.key"));
        tls->startServerEncryption();
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto *connection = new HttpConnection(socket);
    connect(connection, &HttpConnection::requestReceived, this, [this, connection] {
        const QByteArray path = connection->path().split('?').first();
        m_requests.append({connection->method(), path});
        const auto route = m_routes.constFind(path);
        if (route != m_routes.constEnd())
            route.value()(connection);
        else
            connection->respond(404, "not here");
    });
}
