#include "app/buildconfig.h"
#include "app/tlstrust.h"
#include "testenvironment.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

// A system store of the test's own, with the test authority alone.
static const bool privateSystemStore = TestEnvironment::mountPrivateTmpfs("/etc/ssl/certs");

// A TLS server presenting the certificate that make-certs.sh wrote into a folder.
struct TlsServer : QTcpServer
{
    QString folder;
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificateChain(QSslCertificate::fromPath(folder + "/server.pem"));
        socket->setPrivateKey(folder + "/server.key");
        socket->startServerEncryption();
    }
};

class tst_TlsTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString script = QFINDTESTDATA("../../scripts/make-certs.sh");
        for (const QString name : {"system", "unknown"})
            QCOMPARE(QProcess::execute("bash", {script, name, name}), 0);
        if (privateSystemStore) {
            QVERIFY(QFile::copy("system/ca.pem", "/etc/ssl/certs/system.pem"));
            // Hashed names make Qt look the system's roots up on demand, as on Debian.
            QCOMPARE(QProcess::execute("openssl", {"rehash", "/etc/ssl/certs"}), 0);
        }
        QVERIFY(trustExtraCertificateAuthorities(extraCertificateAuthorities()));
    }

    void handshake_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("built-in authority") << VELTRO_TEST_CERT_DIR << true;
        QTest::newRow("system authority") << "system" << true;
        QTest::newRow("unknown authority") << "unknown" << false;
    }

    void handshake()
    {
        QFETCH(QString, folder);
        TlsServer server;
        server.folder = folder;
        if (folder == "system" && !privateSystemStore)
            QSKIP("No private system certificate store here");
        QVERIFY(server.listen(QHostAddress::LocalHost));
        // As the launcher connects: a request carries the default configuration.
        QNetworkAccessManager manager;
        QNetworkReply *reply = manager.get(
            QNetworkRequest(QString("https://127.0.0.1:%1/").arg(server.serverPort())));
        QSignalSpy encrypted(reply, &QNetworkReply::encrypted);
        // Refused, the request fails; accepted, it waits for an answer that never comes.
        QTRY_VERIFY(encrypted.count() > 0 || reply->isFinished());
        QTEST(encrypted.count() == 1, "accepted");
    }
};

VELTRO_TEST_MAIN(tst_TlsTrust)
#include "tst_tlstrust.moc"
