// Hostile servers: silence after the headers, a trickle, more bytes than announced, redirects
// that never end. Each ends in a defined state and never in a hang or a false success.

#include "app/mainwindow.h"
#include "sync/transfertimeout.h"

#include "../sync/syncfixture.h"
#include "boxcatcher.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace SyncFixture;

namespace {

const QString commitId = QStringLiteral("9c1185a5c5e9fc54612808977ee8f548b2258d31");

QByteArray archive()
{
    return ZipBuilder()
        .addFile("client/bin/start.sh", "#!/bin/sh\n", 0100755)
        .addStoredFile("client/data.bin", noise(2000, 7))
        .bytes();
}

bool allButtons(const QWidget &window, bool enabled)
{
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    for (const QPushButton *button : buttons) {
        if (button->isEnabled() != enabled)
            return false;
    }
    return !buttons.isEmpty();
}

// A server for one repository "client" whose commit list names commitId.
void serveRepository(TestHttpServer &server)
{
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commitsBody(commitId));
}

// The rest of a body, a byte every intervalMs; the socket as context ends it with the connection.
void trickle(HttpConnection *connection, const QByteArray &rest, int intervalMs)
{
    if (rest.isEmpty())
        return;
    connection->write(rest.left(1));
    QTimer::singleShot(intervalMs, connection->socket(), [connection, rest, intervalMs] {
        trickle(connection, rest.mid(1), intervalMs);
    });
}

} // namespace

class TestHostileNetwork : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void headersThenNothing_data();
    void headersThenNothing();
    void trickleKeepsTheTransferAlive_data();
    void trickleKeepsTheTransferAlive();
    void moreBytesThanAnnounced();
    void archiveRedirects_data();
    void archiveRedirects();
};

void TestHostileNetwork::init()
{
    resetFolders();
    TransferTimeout::setIdleMs(300);
}

void TestHostileNetwork::cleanup()
{
    TransferTimeout::setIdleMs(TransferTimeout::defaultIdleMs);
}

void TestHostileNetwork::headersThenNothing_data()
{
    QTest::addColumn<QByteArray>("silentPath");
    QTest::newRow("manifest") << QByteArray("/kiv/updater.json");
    QTest::newRow("commit list") << commitsPath("client");
    QTest::newRow("archive") << archivePath("client");
}

// The headers promise a body that never comes: the transfer ends as a time-out. Only the archive
// is asked again.
void TestHostileNetwork::headersThenNothing()
{
    QFETCH(QByteArray, silentPath);

    TestHttpServer server;
    QVERIFY(server.start());
    serveRepository(server);
    const QByteArray zip = archive();
    bool silent = true;
    server.route(silentPath, [&](HttpConnection *connection) {
        if (connection->request().method == "GET" && silent) {
            silent = false;
            connection->respondHeaders(200, {{"Content-Length", "100000"}});
            return;
        }
        connection->respond(200, zip);
    });

    LogCollector log;
    BoxCatcher boxes;
    MainWindow window(manifestUrl(server));
    window.show();
    if (silentPath == "/kiv/updater.json") {
        QVERIFY(boxes.waitForBoxes(1));
        QCOMPARE(boxes.boxes().first().title, QString("Download Error"));
        QCOMPARE(server.requestCount("GET", commitsPath("client")), 0);
    } else if (silentPath == commitsPath("client")) {
        QTRY_VERIFY(log.contains("Failed to fetch commit hash from GitLab:  \"No data received "
                                 "for too long: connection timed out\" HTTP Status Code:  200"));
        QCOMPARE(server.requestCount("GET", commitsPath("client")), 1);
        QCOMPARE(server.requestCount("HEAD", archivePath("client")), 0);
    } else {
        QTRY_VERIFY(log.contains("Download error: QNetworkReply::TimeoutError", true));
        QVERIFY(log.contains("Retrying download..."));
        TransferTimeout::setIdleMs(10000);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Extraction completed successfully!"), 15000);
        QCOMPARE(server.requestCount("GET", archivePath("client")), 2);
        QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
        QTRY_VERIFY(allButtons(window, true));
    }
}

void TestHostileNetwork::trickleKeepsTheTransferAlive_data()
{
    QTest::addColumn<QByteArray>("tricklePath");
    QTest::newRow("manifest") << QByteArray("/kiv/updater.json");
    QTest::newRow("archive") << archivePath("client");
}

// A byte every 300 ms, three times the idle limit in total: slow, but never idle for long.
void TestHostileNetwork::trickleKeepsTheTransferAlive()
{
    QFETCH(QByteArray, tricklePath);

    TestHttpServer server;
    QVERIFY(server.start());
    serveRepository(server);
    const QByteArray zip = archive();
    server.serve(archivePath("client"), zip);
    const QByteArray body = tricklePath == "/kiv/updater.json"
        ? QJsonDocument(QJsonObject{{"updater_version", "0.2"},
                                    {"repos", QJsonArray{repoEntry(server, "client")}}})
              .toJson(QJsonDocument::Compact)
        : zip;
    TransferTimeout::setIdleMs(1000);
    // All but the last 10 bytes at once, then the rest byte by byte.
    server.route(tricklePath, [body](HttpConnection *connection) {
        connection->respondHeaders(200, {{"Content-Length", QByteArray::number(body.size())}});
        if (connection->request().method == "HEAD")
            return;
        connection->write(body.left(body.size() - 10));
        trickle(connection, body.right(10), 300);
    });

    LogCollector log;
    BoxCatcher boxes;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Extraction completed successfully!"), 20000);
    QCOMPARE(boxes.count(), 0);
    QVERIFY(!log.contains("Download error:", true));
    QVERIFY(!log.contains("Failed to fetch commit hash from GitLab: ", true));
    QCOMPARE(server.requestCount("GET", tricklePath), 1);
    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
    QCOMPARE(readAll(TestEnvironment::installRoot() + "/client/bin/start.sh"),
             QByteArray("#!/bin/sh\n"));
}

// Whatever follows the announced length is not part of the archive.
void TestHostileNetwork::moreBytesThanAnnounced()
{
    TestHttpServer server;
    QVERIFY(server.start());
    serveRepository(server);
    const QByteArray zip = archive();
    server.route(archivePath("client"), [zip](HttpConnection *connection) {
        connection->respondHeaders(200, {{"Content-Length", QByteArray::number(zip.size())}});
        if (connection->request().method == "GET")
            connection->write(zip + QByteArray(64 * 1024, 'X'));
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Extraction completed successfully!"), 15000);
    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
    QCOMPARE(readAll(TestEnvironment::installRoot() + "/client/data.bin"), noise(2000, 7));
    QTRY_VERIFY(allButtons(window, true));
}

void TestHostileNetwork::archiveRedirects_data()
{
    QTest::addColumn<QByteArray>("target"); // empty: the archive's own path, for a loop
    QTest::addColumn<QString>("error");
    QTest::newRow("loop") << QByteArray() << "QNetworkReply::TooManyRedirectsError";
    QTest::newRow("to a local file") << QByteArray("file:///etc/passwd")
                                     << "QNetworkReply::ProtocolUnknownError";
}

// Redirects the server never stops giving, or to somewhere no archive may come from: the download
// fails once, is not retried, and leaves the repository pending.
void TestHostileNetwork::archiveRedirects()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, error);

    TestHttpServer server;
    QVERIFY(server.start());
    serveRepository(server);
    server.route(archivePath("client"), [&](HttpConnection *connection) {
        const QByteArray location = target.isEmpty()
            ? server.urlString(QString::fromUtf8(archivePath("client"))).toUtf8()
            : target;
        connection->respond(302, {}, {{"Location", location}});
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Failed to download ZIP: ", true), 15000);
    QVERIFY2(log.contains("Download error: " + error, true), qPrintable(log.lines().join('\n')));
    QVERIFY(!log.contains("Retrying download..."));
    QVERIFY(!log.contains("ZIP file downloaded successfully!"));
    QVERIFY(!QFileInfo::exists("client_hash.txt"));
    QVERIFY(server.requestCount("GET", archivePath("client")) <= 60);
    auto *bar = window.findChild<QProgressBar *>("client");
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 0);
    QVERIFY(allButtons(window, false));
}

VELTRO_TEST_MAIN(TestHostileNetwork)
#include "tst_hostilenetwork.moc"
