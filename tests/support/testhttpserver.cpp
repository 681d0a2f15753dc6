#include "testhttpserver.h"

#include "app/buildconfig.h"
#include "app/tlstrust.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QTimer>

HttpConnection::HttpConnection(QTcpSocket *socket, std::function<void(HttpConnection *)> onRequest)
    : QObject(socket), m_socket(socket)
{
    // The launcher sends GET and HEAD only: a request ends with its blank line.
    connect(socket, &QTcpSocket::readyRead, this, [this, onRequest] {
        m_buffer += m_socket->readAll();
        for (qsizetype end; (end = m_buffer.indexOf("\r\n\r\n")) >= 0;) {
            const QList<QByteArray> lines = m_buffer.left(end).split('\n');
            const QList<QByteArray> first = lines.first().trimmed().split(' ');
            m_method = first.value(0);
            m_path = first.value(1).split('?').first();
            m_headers.clear();
            for (const QByteArray &line : lines.mid(1))
                m_headers[line.left(line.indexOf(':')).trimmed().toLower()] =
                    line.mid(line.indexOf(':') + 1).trimmed();
            m_buffer.remove(0, end + 4);
            onRequest(this);
        }
    });
}

void HttpConnection::respond(int status, const QByteArray &body, const HeaderList &headers)
{
    respondHeaders(status, HeaderList(headers) << qMakePair(QByteArray("Content-Length"),
                                                            QByteArray::number(body.size())));
    if (m_method != "HEAD")
        write(m_cut < 0 ? body : body.left(m_cut));
    if (m_cut < 0)
        return;
    m_socket->flush(); // what the system has been handed still leaves before a reset
    m_reset ? m_socket->abort() : close();
}

void HttpConnection::respondFile(const QByteArray &file, const QByteArray &etag, int maxRanges)
{
    HeaderList headers{{"ETag", etag}};
    if (maxRanges > 0)
        headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
    // "a-b" and "a-" ranges, as the launcher asks them.
    QList<QPair<qsizetype, qsizetype>> ranges;
    const QByteArray range = header("Range");
    for (const QByteArray &asked : range.mid(6).split(',')) {
        const qsizetype dash = asked.indexOf('-');
        const qsizetype from = asked.left(dash).trimmed().toLongLong();
        const QByteArray to = asked.mid(dash + 1).trimmed();
        ranges.append(
            {from, to.isEmpty() ? file.size() - 1 : qMin(to.toLongLong(), file.size() - 1)});
    }
    if (!range.startsWith("bytes=") || m_method != "GET" || ranges.size() > maxRanges
        || !(header("If-Range").isEmpty() || header("If-Range") == etag))
        return respond(200, file, headers);
    const QByteArray size = QByteArray::number(file.size());
    const auto contentRange = [&size](qsizetype from, qsizetype to) {
        return "bytes " + QByteArray::number(from) + "-" + QByteArray::number(to) + "/" + size;
    };
    if (ranges.size() == 1) {
        const auto [from, to] = ranges.first();
        if (from >= file.size())
            return respond(416, {},
                           headers << qMakePair(QByteArray("Content-Range"), "bytes */" + size));
        return respond(206, file.mid(from, to - from + 1),
                       headers << qMakePair(QByteArray("Content-Range"), contentRange(from, to)));
    }
    QByteArray body;
    for (const auto &[from, to] : std::as_const(ranges))
        body += "\r\n--PARTS\r\nContent-Type: application/zip\r\nContent-Range: "
                + contentRange(from, to) + "\r\n\r\n" + file.mid(from, to - from + 1);
    respond(206, body + "\r\n--PARTS--\r\n",
            headers << qMakePair(QByteArray("Content-Type"),
                                 QByteArray("multipart/byteranges; boundary=PARTS")));
}

void HttpConnection::respondHeaders(int status, const HeaderList &headers)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status";
    for (const auto &pair : headers)
        head += "\r\n" + pair.first + ": " + pair.second;
    write(head + "\r\n\r\n");
}

void HttpConnection::write(const QByteArray &bytes)
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

void HttpConnection::trickle(const QByteArray &bytes, qsizetype chunkSize, int intervalMs)
{
    if (bytes.isEmpty())
        return;
    write(bytes.left(chunkSize));
    // The socket as context: a connection the client dropped ends the trickle.
    QTimer::singleShot(intervalMs, m_socket,
                       [=, rest = bytes.mid(chunkSize)] { trickle(rest, chunkSize, intervalMs); });
}

QString TestHttpServer::url(const QString &path) const
{
    return QString("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(serverPort()).arg(path);
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
    new HttpConnection(socket, [this](HttpConnection *connection) {
        m_requests.append({connection->method(), connection->path()});
        const auto route = m_routes.constFind(connection->path());
        if (route != m_routes.constEnd())
            route.value()(connection);
        else
            connection->respond(404, "not here");
    });
}
