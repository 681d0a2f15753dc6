#include "app/mainwindow.h"
#include "manifest/repomanager.h"
#include "sync/transfertimeout.h"

#include "logcollector.h"
#include "syncfixture.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

using namespace SyncFixture;

// The archive download and its completion: HEAD and GET, progress, the retried and the final
// failures, writes the disk refuses, and several repositories at once.
class TestArchiveDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void success_data();
    void success();
    void sizeUnknown_data();
    void sizeUnknown();
    void failureNotRetried_data();
    void failureNotRetried();
    void failureRetried_data();
    void failureRetried();
    void eightCutsAtOnce_data();
    void eightCutsAtOnce();
    void refusedWrite_data();
    void refusedWrite();
    void archiveCannotBeOpened();
    void buttonsWaitForLastRepository();
    void retryDroppedWithManager();
    void fileClosedWithManager();

private:
    static const QString commitId;
    // The manifest of one repository, client, and its commit list naming commitId.
    static void serveClient(TestHttpServer &server);
    static QByteArray archive(const QString &name, int dataSize = 64 * 1024)
    {
        return ZipBuilder()
            .addFile(name.toUtf8() + "/bin/start.sh", "#!/bin/sh\n", 0100755)
            .addStoredFile(name.toUtf8() + "/data.bin", noise(dataSize, qHash(name)))
            .bytes();
    }
    // The index of the first line starting with prefix at or after from; fails the test if none.
    static int lineAfter(const LogCollector &log, const QString &prefix, int from)
    {
        const int index = log.indexOf(prefix, true, from);
        if (index < 0)
            qWarning().noquote() << "missing after line" << from << ":" << prefix << "\n"
                                 << log.lines().join('\n');
        return index;
    }
};

const QString TestArchiveDownload::commitId =
    QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");

void TestArchiveDownload::serveClient(TestHttpServer &server)
{
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commitsBody(commitId));
}

void TestArchiveDownload::initTestCase()
{
    TransferTimeout::setIdleMs(10000);
}

void TestArchiveDownload::init()
{
    resetFolders();
}

void TestArchiveDownload::cleanup()
{
    TransferTimeout::setIdleMs(10000);
}

void TestArchiveDownload::success_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void TestArchiveDownload::success()
{
    QFETCH(bool, tls);
    if (tls)
        TestHttpServer::trustTestAuthority();

    TestHttpServer server;
    QVERIFY(server.start(tls));
    const QByteArray zip = archive("client", 600 * 1024);
    serveClient(server);
    server.serve(archivePath("client"), zip);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Arquivo ZIP removido com sucesso:  \"client.zip\""));

    const QString size = QString::number(zip.size());
    QVERIFY2(log.containsInOrder(
                 {"Fetching latest commit hash from GitLab for repository:  \"client\"",
                  "Latest commit hash from GitLab:  \"" + commitId + "\"",
                  "Hash is different. Downloading ZIP...", "Todos os botões foram desativados!",
                  "File size detected: " + size, "Downloaded " + size + " bytes out of " + size,
                  "ZIP file downloaded successfully!", "\"client.zip\"",
                  "Extraction completed successfully!",
                  "Arquivo ZIP removido com sucesso:  \"client.zip\"",
                  "Todos os botões foram ativados, todas as atualizações estão completas!"}),
             qPrintable(log.lines().join('\n')));
    // Between the size and the success only progress lines, counting up to the whole archive.
    const QStringList lines = log.lines();
    qint64 last = -1;
    for (int i = log.indexOf("File size detected: ", true) + 1;
         i < log.indexOf("ZIP file downloaded successfully!"); ++i) {
        const QStringList words = lines.at(i).split(' ');
        QCOMPARE(words.size(), 6);
        QCOMPARE(words.at(0), QString("Downloaded"));
        QCOMPARE(words.at(5), size);
        QVERIFY(words.at(1).toLongLong() >= last);
        last = words.at(1).toLongLong();
    }
    QCOMPARE(last, qint64(zip.size()));
    QVERIFY(!log.contains("Download error:", true));

    // The GET carries the two headers in this order; the HEAD neither.
    QCOMPARE(server.requestCount("HEAD", archivePath("client")), 1);
    QCOMPARE(server.requestCount("GET", archivePath("client")), 1);
    for (const HttpRequest &request : server.requests()) {
        if (request.path != archivePath("client"))
            continue;
        int connection = -1;
        int cacheControl = -1;
        for (int i = 0; i < request.headers.size(); ++i) {
            const QByteArray name = request.headers.at(i).first.toLower();
            if (name == "connection" && request.headers.at(i).second == "keep-alive")
                connection = i;
            if (name == "cache-control")
                cacheControl = i;
        }
        if (request.method == "HEAD") {
            QCOMPARE(cacheControl, -1);
        } else {
            QVERIFY(connection >= 0);
            QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
            QVERIFY(connection < cacheControl);
        }
    }

    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
    QVERIFY(!QFile::exists("client.zip"));
    QCOMPARE(readAll(TestEnvironment::installRoot() + "/client/data.bin"),
             noise(600 * 1024, qHash(QString("client"))));
    auto *bar = window.findChild<QProgressBar *>("client");
    QVERIFY(!bar->isVisible());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 100);
    QVERIFY(buttonsEnabled(window, true));
}

void TestArchiveDownload::sizeUnknown_data()
{
    QTest::addColumn<bool>("headLength");
    QTest::addColumn<bool>("getLength");
    QTest::newRow("no length anywhere") << false << false;
    QTest::newRow("HEAD length 0") << true << false;
    QTest::newRow("HEAD without length, GET with") << false << true;
}

void TestArchiveDownload::sizeUnknown()
{
    QFETCH(bool, headLength);
    QFETCH(bool, getLength);

    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray zip = archive("client", 200 * 1024);
    serveClient(server);
    QPointer<HttpConnection> held;
    server.route(archivePath("client"), [&](HttpConnection *connection) {
        if (connection->request().method == "HEAD") {
            if (headLength)
                connection->respond(200, {}, {{"Content-Length", "0"}}, false);
            else
                connection->respond(200, {}, {}, false);
            return;
        }
        // The first half, then the test lets the rest go.
        HeaderList headers;
        if (getLength)
            headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(zip.size())));
        else
            headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
        // Slowly enough for Qt to report progress, which it holds back within 100 ms.
        connection->respondHeaders(200, headers);
        connection->writeSlowly(zip.left(zip.size() / 2), 4096, 40);
        QObject::connect(connection, &HttpConnection::slowWriteDone, connection,
                         [&held, connection] { held = connection; });
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(held);
    QVERIFY(log.contains("Downloaded", true));
    auto *bar = window.findChild<QProgressBar *>("client");

    QCOMPARE(log.contains("Failed to retrieve file size."), !headLength);
    QCOMPARE(log.contains("File size detected: 0"), headLength);
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 0); // busy indicator
    const QString total = getLength ? QString::number(zip.size()) : QString("-1");
    QVERIFY(log.lines().at(log.indexOf("Downloaded", true)).endsWith(" bytes out of " + total));

    held->write(zip.mid(zip.size() / 2));
    if (!getLength)
        held->close();
    QTRY_VERIFY(log.contains("Extraction completed successfully!"));
    QTRY_VERIFY(!bar->isVisible());
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 100);
    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
    QVERIFY(buttonsEnabled(window, true));
}

void TestArchiveDownload::failureNotRetried_data()
{
    QTest::addColumn<QString>("download"); // empty: the server's address
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    QTest::newRow("404") << QString() << 404 << "QNetworkReply::ContentNotFoundError";
    QTest::newRow("403") << QString() << 403 << "QNetworkReply::ContentAccessDenied";
    QTest::newRow("500") << QString() << 500 << "QNetworkReply::InternalServerError";
    QTest::newRow("empty address") << "" << 0 << "QNetworkReply::ProtocolUnknownError";
}

void TestArchiveDownload::failureNotRetried()
{
    QFETCH(QString, download);
    QFETCH(int, status);
    QFETCH(QString, error);

    TestHttpServer server;
    QVERIFY(server.start());
    QJsonObject entry = repoEntry(server, "client");
    if (status == 0)
        entry["download"] = download;
    serveManifest(server, {entry});
    server.serve(commitsPath("client"), commitsBody(commitId));
    server.serve(archivePath("client"), "no archive here", status);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Failed to download ZIP:  ", true));

    const int errorLine = lineAfter(log, "Download error: " + error + " ", 0);
    QVERIFY(errorLine >= 0);
    QVERIFY(lineAfter(log, "Failed to download ZIP:  \"", errorLine) > errorLine);
    QVERIFY(!log.contains("Retrying download..."));
    QVERIFY(!log.contains("ZIP file downloaded successfully!"));
    // The completion's gating was the last word, and it kept the buttons back.
    QCOMPARE(log.lines().last(),
             QString("Nem todas as barras de progresso estão completas. Os botões não serão "
                     "ativados ainda."));

    auto *bar = window.findChild<QProgressBar *>("client");
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QVERIFY(buttonsEnabled(window, false));
    QVERIFY(!QFile::exists("client_hash.txt"));
    QVERIFY(server.requestCount("GET", archivePath("client")) <= 1);
}

void TestArchiveDownload::failureRetried_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("error");
    QTest::newRow("cut mid-body") << "cut" << "QNetworkReply::RemoteHostClosedError";
    QTest::newRow("cut before the body") << "cut at 0" << "QNetworkReply::RemoteHostClosedError";
    QTest::newRow("stall") << "stall" << "QNetworkReply::TimeoutError";
}

void TestArchiveDownload::failureRetried()
{
    QFETCH(QString, failure);
    QFETCH(QString, error);

    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray zip = archive("client", 300 * 1024);
    serveClient(server);
    int heads = 0;
    int gets = 0;
    server.route(archivePath("client"), [&](HttpConnection *connection) {
        // The short idle limit is for the first GET alone: set at its HEAD, put back when it
        // comes.
        if (connection->request().method == "HEAD" && ++heads == 1 && failure == "stall")
            TransferTimeout::setIdleMs(300);
        if (connection->request().method == "GET" && ++gets == 1) {
            TransferTimeout::setIdleMs(10000);
            if (failure == "stall") {
                connection->respondHeaders(200,
                                           {{"Content-Length", QByteArray::number(zip.size())}});
                connection->write(zip.left(zip.size() / 2));
            } else {
                connection->respondCut(200, zip, failure == "cut" ? zip.size() / 2 : 0);
            }
            return;
        }
        connection->respond(200, zip);
    });
    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Failed to download ZIP:  ", true));
    auto *bar = window.findChild<QProgressBar *>("client");
    // Between the attempts the bar waits at 0, shown.
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 0);
    QVERIFY(buttonsEnabled(window, false));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Extraction completed successfully!"), 15000);

    // Qt may report the bytes it got between the error and the end of the reply.
    QStringList lines = log.lines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString &line) { return line.startsWith("Downloaded "); }),
                lines.end());
    const int errorLine = lines.indexOf(QRegularExpression("^Download error: " + error + " .*"));
    QVERIFY(errorLine >= 0);
    QCOMPARE(lines.at(errorLine + 1), QString("Retrying download..."));
    QVERIFY(lines.at(errorLine + 2).startsWith("Failed to download ZIP:  \""));
    QCOMPARE(lines.at(errorLine + 3),
             QString("Nem todas as barras de progresso estão completas. Os botões não serão "
                     "ativados ainda."));
    const int restart = lineAfter(log, "Todos os botões foram desativados!",
                                  log.indexOf("Retrying download..."));
    QVERIFY(restart > 0);
    QVERIFY(lineAfter(log, "ZIP file downloaded successfully!", restart) > restart);
    QCOMPARE(log.count("ZIP file downloaded successfully!"), 1);
    QCOMPARE(log.count("Retrying download..."), 1);
    QCOMPARE(server.requestCount("HEAD", archivePath("client")), 2);
    QCOMPARE(server.requestCount("GET", archivePath("client")), 2);
    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
    QTRY_VERIFY(!bar->isVisible());
    QVERIFY(buttonsEnabled(window, true));
}

void TestArchiveDownload::eightCutsAtOnce_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("holdMs");
    QTest::newRow("http, closed") << false << false << 0;
    QTest::newRow("http, reset") << false << true << 0;
    QTest::newRow("http, closed while held up") << false << false << 300;
    QTest::newRow("https, closed") << true << false << 0;
}

void TestArchiveDownload::eightCutsAtOnce()
{
    QFETCH(bool, tls);
    QFETCH(bool, reset);
    QFETCH(int, holdMs);
    if (tls)
        TestHttpServer::trustTestAuthority();

    // One cut can pass unnoticed by luck; eight at once cannot. Qt is most easily fooled when
    // more than its read buffer (1 MiB) waits unread as the connection closes.
    const int cutArchiveSize = 3 * 1024 * 1024;
    TestHttpServer server;
    QVERIFY(server.start(tls));
    QJsonArray repos;
    QMap<QString, QByteArray> zips;
    QMap<QString, int> gets;
    for (int i = 0; i < 8; ++i) {
        const QString name = QString("part%1").arg(i);
        zips.insert(name, archive(name, cutArchiveSize));
        repos.append(repoEntry(server, name));
        server.serve(commitsPath(name), commitsBody(commitId));
        server.route(archivePath(name), [&, name](HttpConnection *connection) {
            const QByteArray &zip = zips[name];
            if (connection->request().method == "GET" && ++gets[name] == 1)
                connection->respondCut(200, zip, zip.size() / 2, {}, reset, holdMs);
            else
                connection->respond(200, zip);
        });
    }
    serveManifest(server, repos);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(log.count("Extraction completed successfully!") == 8, 30000);
    QTRY_VERIFY(buttonsEnabled(window, true));

    // A GET queued behind a cut connection can fail with it before the server sees it; such a
    // repository is cut once more on its retry. Every failure is retried, no cut one passes.
    QCOMPARE(log.count("ZIP file downloaded successfully!"), 8);
    const int retries = log.count("Retrying download...");
    QVERIFY(retries >= 8);
    QCOMPARE(log.count("Download error: QNetworkReply::RemoteHostClosedError", true), retries);
    QCOMPARE(log.count("Failed to download ZIP:  \"Connection closed\""), retries);
    QCOMPARE(log.count("ZIP file extraction failed."), 0);
    for (auto it = zips.cbegin(); it != zips.cend(); ++it) {
        QCOMPARE(gets[it.key()], 2);
        QCOMPARE(readAll(it.key() + "_hash.txt"), commitId.toUtf8());
        QCOMPARE(readAll(TestEnvironment::installRoot() + "/" + it.key() + "/data.bin"),
                 noise(cutArchiveSize, qHash(it.key())));
    }
}

void TestArchiveDownload::refusedWrite_data()
{
    QTest::addColumn<int>("dataSize");
    QTest::newRow("writes straight through") << 256 * 1024;
    QTest::newRow("buffered, refused at the end") << 2 * 1024;
}

void TestArchiveDownload::refusedWrite()
{
    QFETCH(int, dataSize);
    // A device that is always full stands in for a full disk.
    if (!QFile::exists("/dev/full"))
        QSKIP("needs /dev/full");
    QVERIFY(QFile::link("/dev/full", "client.zip"));

    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray zip = archive("client", dataSize);
    serveClient(server);
    server.serve(archivePath("client"), zip);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Failed to download ZIP:  ", true));

    const QString diskFull = QString::fromLocal8Bit(strerror(ENOSPC));
    const int writeLine =
        lineAfter(log, "Failed to write ZIP file: \"client.zip\" \"" + diskFull + "\"", 0);
    QVERIFY(writeLine >= 0);
    QCOMPARE(log.lines().at(log.indexOf("Failed to download ZIP:  ", true)),
             "Failed to download ZIP:  \"" + diskFull + "\"");
    QVERIFY(log.indexOf("Failed to download ZIP:  ", true) > writeLine);
    QVERIFY(!log.contains("ZIP file downloaded successfully!"));
    QVERIFY(!log.contains("Download error:", true));
    QVERIFY(!log.contains("Retrying download..."));

    auto *bar = window.findChild<QProgressBar *>("client");
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 0);
    QVERIFY(buttonsEnabled(window, false));
    QVERIFY(!QFile::exists("client_hash.txt"));
    QVERIFY(!QFile::exists(TestEnvironment::installRoot() + "/client"));
}

void TestArchiveDownload::archiveCannotBeOpened()
{
    QVERIFY(QDir().mkpath("client.zip"));
    TransferTimeout::setIdleMs(120000);

    TestHttpServer server;
    QVERIFY(server.start());
    serveClient(server);
    server.route(archivePath("client"), [](HttpConnection *connection) {
        if (connection->request().method == "HEAD")
            connection->respond(200, QByteArray(100, 'x'));
        // The GET is never answered: only the launcher can end it.
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Failed to open file for writing:", true));
    QCOMPARE(log.lines().last(),
             log.lines().at(log.indexOf("Failed to open file for writing:", true)));

    // The GET was given up and released, not left open until the server gives up.
    QTRY_VERIFY(window.findChildren<QNetworkReply *>().isEmpty());
    QVERIFY(!log.contains("Download error:", true));
    auto *bar = window.findChild<QProgressBar *>("client");
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 0);
    QVERIFY(buttonsEnabled(window, false));
}

void TestArchiveDownload::buttonsWaitForLastRepository()
{
    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, "alpha"), repoEntry(server, "beta")});
    server.serve(commitsPath("alpha"), commitsBody(commitId));
    server.serve(commitsPath("beta"), commitsBody(commitId));
    // Alpha's archive comes once beta's download is under way; beta's once alpha is done.
    QPointer<HttpConnection> alphaGet;
    QPointer<HttpConnection> betaGet;
    server.route(archivePath("alpha"), [&](HttpConnection *connection) {
        if (connection->request().method == "HEAD")
            connection->respond(200, archive("alpha"));
        else if (betaGet)
            connection->respond(200, archive("alpha"));
        else
            alphaGet = connection;
    });
    server.route(archivePath("beta"), [&](HttpConnection *connection) {
        if (connection->request().method == "HEAD") {
            connection->respond(200, archive("beta"));
            return;
        }
        betaGet = connection;
        if (alphaGet)
            alphaGet->respond(200, archive("alpha"));
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(betaGet);
    QTRY_VERIFY(log.contains("Arquivo ZIP removido com sucesso:  \"alpha.zip\""));
    const int alphaDone = log.indexOf("Arquivo ZIP removido com sucesso:  \"alpha.zip\"");
    QCOMPARE(log.lines().at(alphaDone + 1),
             QString("Nem todas as barras de progresso estão completas. Os botões não serão "
                     "ativados ainda."));
    QVERIFY(buttonsEnabled(window, false));
    QVERIFY(!window.findChild<QProgressBar *>("alpha")->isVisible());
    QVERIFY(window.findChild<QProgressBar *>("beta")->isVisible());

    betaGet->respond(200, archive("beta"));
    QTRY_VERIFY(log.contains("Arquivo ZIP removido com sucesso:  \"beta.zip\""));
    QCOMPARE(log.lines().at(log.indexOf("Arquivo ZIP removido com sucesso:  \"beta.zip\"") + 1),
             QString("Todos os botões foram ativados, todas as atualizações estão completas!"));
    QVERIFY(buttonsEnabled(window, true));
}

void TestArchiveDownload::retryDroppedWithManager()
{
    TestHttpServer server;
    QVERIFY(server.start());
    // "gone" is always cut; "kept" is cut twice and then served.
    server.route(archivePath("gone"), [](HttpConnection *connection) {
        connection->respondCut(200, QByteArray(64 * 1024, 'g'), 1024);
    });
    const QByteArray keptZip = archive("kept");
    int keptGets = 0;
    server.route(archivePath("kept"), [&](HttpConnection *connection) {
        if (connection->request().method == "GET" && ++keptGets <= 2)
            connection->respondCut(200, keptZip, keptZip.size() / 2);
        else
            connection->respond(200, keptZip);
    });
    auto repoFor = [&server](const QString &name) {
        Repo repo;
        repo.name = name;
        repo.download = server.urlString(QString::fromUtf8(archivePath(name)));
        return repo;
    };

    LogCollector log;
    auto *host = new QWidget;
    auto *manager = new RepoManager(host);
    manager->downloadZip(repoFor("gone"), commitId);
    QTRY_VERIFY(log.contains("Retrying download..."));
    delete host; // the manager goes while its retry waits

    QWidget otherHost;
    auto *otherManager = new RepoManager(&otherHost);
    otherManager->downloadZip(repoFor("kept"), commitId);
    // Two retries of "kept" take longer than the one pending for "gone".
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("ZIP file downloaded successfully!"), 15000);
    QCOMPARE(keptGets, 3);
    QCOMPARE(server.requestCount("HEAD", archivePath("gone")), 1);
    QCOMPARE(server.requestCount("GET", archivePath("gone")), 1);
}

// Replies go with their manager before they finish (the window closed mid-download); the archive
// file goes with them.
void TestArchiveDownload::fileClosedWithManager()
{
    if (!QFileInfo::exists("/proc/self/fd"))
        QSKIP("needs /proc/self/fd");
    TestHttpServer server;
    QVERIFY(server.start());
    server.route(archivePath("client"), [](HttpConnection *connection) {
        connection->trickle(200, QByteArray(100000, 'c'), 1000, 1000);
    });
    Repo repo;
    repo.name = "client";
    repo.download = server.urlString(QString::fromUtf8(archivePath("client")));
    const auto archiveOpen = [] {
        const QString archive = QFileInfo("client.zip").canonicalFilePath();
        const QFileInfoList fds = QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System);
        return std::any_of(fds.begin(), fds.end(), [&](const QFileInfo &fd) {
            return !archive.isEmpty() && fd.symLinkTarget() == archive;
        });
    };

    LogCollector log;
    auto *host = new QWidget;
    (new RepoManager(host))->downloadZip(repo, commitId);
    QTRY_VERIFY(log.contains("Downloaded", true));
    QVERIFY(archiveOpen());
    delete host;
    QVERIFY(!archiveOpen());
}

VELTRO_TEST_MAIN(TestArchiveDownload)
#include "tst_archivedownload.moc"
