#include "manifest/repomanager.h"
#include "sync/watchedrequest.h"

#include "boxcatcher.h"
#include "hostwindow.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QtTest>

namespace {
const QString commitId = QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
const QByteArray noHashFile = "<none>";
const QByteArray id = commitId.toUtf8();
const QString upToDate = "Repository is up-to-date. No need to download.";
} // namespace

// One repository's synchronisation: the commit check, the archive download and its failures,
// retried or final, and several repositories at once.
class TestSync : public QObject
{
    Q_OBJECT

private slots:
    void init() { WatchedRequest::setIdleMs(10000); }

    void commitCheck_data()
    {
        QTest::addColumn<QByteArray>("commits");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("hashFile");
        QTest::addColumn<QString>("decision"); // the line that decides, or its start
        QTest::addColumn<QString>(
            "state"); // afterwards; the id is commitId, empty where none is named

        const QByteArray list = LauncherRun::commitsBody(commitId);
        const QString none = "No commits found for the repository.";
        const QString download = "Hash is different. Downloading ZIP...";
        const QString stopped = "no hash, archive gone, bar hidden, buttons off";
        const QString kept = "hash other, archive gone, bar hidden, buttons on";
        QTest::newRow("empty array") << QByteArray("[]") << 200 << noHashFile << none << stopped;
        QTest::newRow("not JSON") << QByteArray("<html>") << 200 << noHashFile << none << stopped;
        QTest::newRow("404") << QByteArray("{}") << 404 << noHashFile
                             << "Failed to fetch commit hash from GitLab:  \"Error transferring"
                             << stopped;
        QTest::newRow("same id") << list << 200 << id << upToDate << "installed";
        QTest::newRow("CRLF and a second line") << list << 200 << id + "\r\nsecond\r\n"
                                                << upToDate << kept;
        QTest::newRow("byte-order mark") << list << 200 << "\xEF\xBB\xBF" + id << upToDate << kept;
        QTest::newRow("trailing blank") << list << 200 << id + " " << download << "installed";
        QTest::newRow("no hash file") << list << 200 << noHashFile << download << "installed";
        QTest::newRow("no id, no hash file")
            << QByteArray(R"([{"title": "x"}])") << 200 << noHashFile << upToDate
            << "no hash, archive gone, bar hidden, buttons on";
        QTest::newRow("no id, a hash file")
            << QByteArray(R"([{"id": 42}])") << 200 << id << download << kept;
    }

    void commitCheck()
    {
        QFETCH(QByteArray, commits);
        QFETCH(int, status);
        QFETCH(QByteArray, hashFile);
        QFETCH(QString, decision);
        QFETCH(QString, state);
        LauncherRun run;
        if (hashFile != noHashFile)
            QVERIFY(LauncherRun::writeFile("client_hash.txt", hashFile));
        run.serveRepo("client", commitId, LauncherRun::archive("client"));
        run.server.serve(LauncherRun::commitsPath("client"), commits, status);
        run.start();
        QTRY_VERIFY(run.log.contains(decision, true));
        // A download without an id records the empty id.
        QTRY_COMPARE(run.state("client", commits.contains(id) ? commitId : QString()), state);
    }

    void unsafeRepoName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent folder") << "../escape";
        QTest::newRow("parent alone") << "..";
        QTest::newRow("sub-folder") << "sub/client";
        QTest::newRow("absolute") << "/tmp/client";
        QTest::newRow("backslash") << "..\\escape";
        // The system would end the file names at the NUL, at the files of a repository "client".
        QTest::newRow("NUL") << QString("client") + QChar(0) + "evil";
        QTest::newRow("NUL after a file's name") << QString("client_hash.txt") + QChar(0);
        // Names Windows refuses for files are refused everywhere.
        for (const char *name : {"client:stream", "nul", "Com1.tar", "client.", "client ", "a?b"})
            QTest::newRow(name) << name;
    }

    // The window closed mid-download: the open archive file goes with the reply (the sanitizer
    // build's leak check fails this test otherwise).
    void windowClosedMidDownload()
    {
        auto run = std::make_unique<LauncherRun>();
        run->serveRepo("client", commitId);
        run->server.route(LauncherRun::archivePath("client"), [](HttpConnection *connection) {
            connection->respondHeaders(200, {{"Content-Length", "100000"}});
            if (connection->method() == "GET")
                connection->write(QByteArray(1000, 'c'));
        });
        run->start();
        QTRY_VERIFY(run->log.contains("File size detected:", true)); // the archive is open
        run.reset();
        QVERIFY(QFile::remove("client.zip"));
    }

    void unsafeRepoName()
    {
        QFETCH(QString, name);
        LauncherRun run;
        run.serveRepo(name, commitId);
        run.serveRepo("client", commitId); // a safe repository next to it goes on as usual
        const QStringList before = QDir("..").entryList(QDir::AllEntries);
        run.start();
        QTRY_COMPARE(run.state("client", commitId), QString("installed"));
        QCOMPARE(run.log.count("Refusing to synchronise repository with an unsafe name:", true), 1);
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath(name)), 0);
        QCOMPARE(run.state(name, commitId), "no hash, archive gone, bar hidden, buttons on");
        QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
        QCOMPARE(QDir("..").entryList(QDir::AllEntries), before);
    }

    void sizeUnknown_data()
    {
        QTest::addColumn<QByteArray>("headLength"); // empty: none
        QTest::addColumn<bool>("chunked");          // else the body ends with the connection
        QTest::newRow("no length anywhere") << QByteArray() << false;
        QTest::newRow("HEAD length 0") << QByteArray("0") << false;
        QTest::newRow("chunked") << QByteArray() << true;
    }

    void sizeUnknown()
    {
        QFETCH(QByteArray, headLength);
        QFETCH(bool, chunked);
        LauncherRun run;
        run.serveRepo("client", commitId);
        const QByteArray zip = LauncherRun::archive("client");
        const QByteArray wire
            = chunked ? QByteArray::number(zip.size(), 16) + "\r\n" + zip + "\r\n" : zip;
        // Slowly enough for Qt to report progress; the end waits for the test.
        QPointer<HttpConnection> held;
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            if (connection->method() == "HEAD") {
                connection->respondHeaders(200, headLength.isEmpty()
                                                    ? HeaderList()
                                                    : HeaderList{{"Content-Length", headLength}});
                return;
            }
            connection->respondHeaders(200, {{chunked ? "Transfer-Encoding" : "Connection",
                                              chunked ? "chunked" : "close"}});
            connection->trickle(wire, 4096, 30);
            connect(connection, &HttpConnection::trickled, connection,
                    [&held, connection] { held = connection; });
        });
        run.start();
        QTRY_VERIFY(held);
        QCOMPARE(run.log.contains("Failed to retrieve file size."), headLength.isEmpty());
        QCOMPARE(run.log.contains("File size detected: 0"), !headLength.isEmpty());
        QTRY_VERIFY(run.log.contains("Downloaded", true));
        QVERIFY(
            run.log.lines().at(run.log.indexOf("Downloaded", true)).endsWith(" bytes out of -1"));
        QCOMPARE(run.window->findChild<QProgressBar *>("client")->maximum(), 0); // busy indicator
        chunked ? held->write("0\r\n\r\n") : held->close();
        QTRY_COMPARE(run.state("client", commitId), QString("installed"));
        QVERIFY(!run.log.contains("Download error:", true));
    }

    void notRetried_data()
    {
        QTest::addColumn<QByteArray>("location"); // of a redirect; "loop": to itself
        QTest::addColumn<QString>("error");
        QTest::newRow("404") << QByteArray() << "ContentNotFoundError";
        QTest::newRow("empty address") << QByteArray("no address") << "ProtocolUnknownError";
        QTest::newRow("redirect loop") << QByteArray("loop") << "TooManyRedirectsError";
        QTest::newRow("redirect to a file")
            << QByteArray("file:///etc/x") << "ProtocolUnknownError";
    }

    void notRetried()
    {
        QFETCH(QByteArray, location);
        QFETCH(QString, error);
        LauncherRun run;
        run.serveRepo("client", commitId);
        QJsonObject entry = run.repos.first().toObject();
        const QByteArray self = entry["download"].toString().toUtf8();
        entry["download"] = "";
        if (location == "no address")
            run.repos.replace(0, entry);
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            connection->respond(location.isEmpty() ? 404 : 302, {},
                                {{"Location", location == "loop" ? self : location}});
        });
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(run.log.contains("Failed to download ZIP:  \"", true), 15000);
        // The retry would have been decided and said before the failure is.
        QVERIFY2(run.log.contains("Download error: QNetworkReply::" + error, true),
                 qPrintable(run.log.lines().join('\n')));
        QVERIFY(!run.log.contains("Retrying download..."));
        QCOMPARE(run.state("client", commitId), QString("pending"));
    }

    void shortBodyRetried_data()
    {
        QTest::addColumn<int>("sent"); // per mille of the body before the cut
        QTest::newRow("cut mid-body") << 500;
        QTest::newRow("cut before the body") << 0;
    }

    void shortBodyRetried()
    {
        QFETCH(int, sent);
        LauncherRun run;
        run.serveRepo("client", commitId, 300 * 1024);
        const QByteArray zip = LauncherRun::archive("client", 300 * 1024);
        int gets = 0;
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            if (connection->method() == "GET" && ++gets == 1)
                connection->respondCut(zip, zip.size() * sent / 1000);
            else
                connection->respond(200, zip);
        });
        run.start();
        QTRY_VERIFY(run.log.contains("Retrying download..."));
        QCOMPARE(run.state("client", commitId), QString("pending")); // between the attempts
        QTRY_COMPARE_WITH_TIMEOUT(run.state("client", commitId), QString("installed"), 15000);
        QCOMPARE(run.log.count("Download error: QNetworkReply::RemoteHostClosedError", true), 1);
        QCOMPARE(run.log.count("ZIP file downloaded successfully!"), 1);
        QCOMPARE(gets, 2);
    }

    void eightCutsAtOnce_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("reset");
        QTest::addColumn<int>("holdMs");
        QTest::newRow("http, closed") << false << false << 0;
        QTest::newRow("http, reset") << false << true << 0;
        QTest::newRow("http, closed while held up") << false << false << 300;
        QTest::newRow("https, closed") << true << false << 0;
    }

    void eightCutsAtOnce()
    {
        QFETCH(bool, tls);
        QFETCH(bool, reset);
        QFETCH(int, holdMs);
        // One cut can pass unnoticed by luck; eight at once cannot. Qt is most easily fooled when
        // more than its read buffer (1 MiB) waits unread as the connection closes.
        const int size = 3 * 1024 * 1024;
        LauncherRun run(tls);
        QMap<QString, int> gets;
        for (int i = 0; i < 8; ++i) {
            const QString name = QString("part%1").arg(i);
            run.serveRepo(name, commitId, size);
            run.server.route(
                LauncherRun::archivePath(name),
                [&, name, zip = LauncherRun::archive(name, size)](HttpConnection *connection) {
                    if (connection->method() == "GET" && ++gets[name] == 1)
                        connection->respondCut(zip, zip.size() / 2, reset, holdMs);
                    else
                        connection->respond(200, zip);
                });
        }
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(run.log.count("Extraction completed successfully!") == 8, 60000);
        // A GET queued behind a cut connection can fail with it before the server sees it; such a
        // repository is cut once more on its retry. Every failure is retried, no cut one passes.
        QCOMPARE(run.log.count("ZIP file downloaded successfully!"), 8);
        QCOMPARE(run.log.count("Failed to download ZIP:  \"Connection closed\""),
                 run.log.count("Retrying download..."));
        for (auto it = gets.cbegin(); it != gets.cend(); ++it) {
            QCOMPARE(it.value(), 2);
            QTRY_COMPARE(run.state(it.key(), commitId), QString("installed"));
        }
    }

    void idleTimeout_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("trickle"); // a byte every 400 ms after the first part: never idle
        QTest::addColumn<QString>("outcome");
        const QByteArray manifest = "/kiv/updater.json";
        const QByteArray archive = LauncherRun::archivePath("client");
        const QString installed = "Extraction completed successfully!";
        QTest::newRow("manifest stalls") << manifest << false << "Download Error";
        QTest::newRow("commit list stalls")
            << LauncherRun::commitsPath("client") << false
            << "Failed to fetch commit hash from GitLab:  \"No data received for too long";
        QTest::newRow("archive stalls")
            << archive << false << "Download error: QNetworkReply::TimeoutError";
        QTest::newRow("manifest trickles") << manifest << true << installed;
        QTest::newRow("archive trickles") << archive << true << installed;
    }

    void idleTimeout()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, trickle);
        QFETCH(QString, outcome);
        LauncherRun run;
        run.serveRepo("client", commitId);
        const QByteArray body
            = path == "/kiv/updater.json"
                  ? QJsonDocument(QJsonObject{{"updater_version", "0.2"}, {"repos", run.repos}})
                        .toJson()
              : path.startsWith("/files/") ? LauncherRun::archive("client")
                                           : LauncherRun::commitsBody(commitId);
        WatchedRequest::setIdleMs(1500);
        BoxCatcher boxes;
        run.start();
        // Replaces the served answer before the window's request is read.
        int gets = 0;
        run.server.route(path, [&](HttpConnection *connection) {
            if (connection->method() != "GET" || ++gets > 1) {
                connection->respond(200, body);
                return;
            }
            connection->respondHeaders(200, {{"Content-Length", QByteArray::number(body.size())}});
            if (trickle) {
                connection->write(body.chopped(10));
                connection->trickle(body.right(10), 1, 400);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(outcome, true)
                                     || (boxes.count() && boxes.boxes().first().title == outcome),
                                 20000);
        if (trickle || path.startsWith("/files/")) {
            // Only the archive is asked again.
            QTRY_COMPARE_WITH_TIMEOUT(run.state("client", commitId), QString("installed"), 20000);
            QCOMPARE(gets, trickle ? 1 : 2);
            QCOMPARE(boxes.count(), 0);
        } else {
            QCOMPARE(run.state("client", commitId),
                     path.startsWith("/commits/") ? "no hash, archive gone, bar hidden, buttons off"
                                                  : "no hash, archive gone, no bar, buttons off");
        }
    }

    void refusedWrite_data()
    {
        QTest::addColumn<int>("dataSize");
        QTest::newRow("writes straight through") << 256 * 1024;
        QTest::newRow("buffered, refused at the flush") << 2 * 1024;
    }

    void refusedWrite()
    {
        QFETCH(int, dataSize);
        LauncherRun run;
        // A device that is always full stands in for a full disk.
        QVERIFY(QFile::link("/dev/full", "client.zip"));
        run.serveRepo("client", commitId, dataSize);
        run.start();
        QTRY_VERIFY(run.log.contains("Failed to download ZIP:  ", true));
        const QString diskFull = QString::fromLocal8Bit(strerror(ENOSPC));
        QCOMPARE(
            run.log.missingInOrder({"Failed to write ZIP file: \"client.zip\" \"" + diskFull + "\"",
                                    "Failed to download ZIP:  \"" + diskFull + "\""}),
            QString());
        QVERIFY(!run.log.contains("Download error:", true));
        QCOMPARE(run.state("client", commitId), QString("pending"));
    }

    void archiveCannotBeOpened()
    {
        LauncherRun run;
        QVERIFY(QDir().mkpath("client.zip"));
        WatchedRequest::setIdleMs(120000);
        run.serveRepo("client", commitId);
        run.server.route(LauncherRun::archivePath("client"), [](HttpConnection *connection) {
            if (connection->method() == "HEAD")
                connection->respond(200, QByteArray(100, 'x'));
            // The GET is never answered: only the launcher can end it.
        });
        run.start();
        QTRY_VERIFY(run.log.contains("Failed to open file for writing:", true));
        // The GET was given up and released, not left open until the server gives up.
        QTRY_VERIFY(run.window->findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(run.state("client", commitId), QString("pending"));
    }

    void buttonsWaitForLastRepository()
    {
        LauncherRun run;
        run.serveRepo("alpha", commitId);
        run.serveRepo("beta", commitId);
        // Beta's archive is held until the test lets it go.
        QPointer<HttpConnection> betaGet;
        run.server.route(LauncherRun::archivePath("beta"), [&](HttpConnection *connection) {
            if (connection->method() == "HEAD")
                connection->respond(200, LauncherRun::archive("beta"));
            else
                betaGet = connection;
        });
        run.start();
        QTRY_VERIFY(betaGet);
        QTRY_COMPARE(run.state("alpha", commitId),
                     QString("hash recorded, archive gone, bar hidden, buttons off"));
        betaGet->respond(200, LauncherRun::archive("beta"));
        QTRY_COMPARE(run.state("beta", commitId), QString("installed"));
        QCOMPARE(run.state("alpha", commitId), QString("installed"));
    }

    void retryDroppedWithManager()
    {
        TestHttpServer server;
        QVERIFY(server.start());
        // "gone" is always cut; "kept" is cut twice and then served.
        server.route("/gone.zip", [](HttpConnection *connection) {
            connection->respondCut(QByteArray(64 * 1024, 'g'), 1024);
        });
        const QByteArray keptZip = LauncherRun::archive("kept");
        int keptGets = 0;
        server.route("/kept.zip", [&](HttpConnection *connection) {
            if (connection->method() == "GET" && ++keptGets <= 2)
                connection->respondCut(keptZip, keptZip.size() / 2);
            else
                connection->respond(200, keptZip);
        });
        const auto repo = [&server](const QString &name) {
            Repo repo;
            repo.name = name;
            repo.download = server.url("/" + name + ".zip");
            return repo;
        };
        LogCollector log;
        auto host = std::make_unique<HostWindow>();
        host->manager()->downloadZip(repo("gone"), commitId);
        QTRY_VERIFY(log.contains("Retrying download..."));
        host.reset(); // the manager goes while its retry waits

        // Two retries of "kept" take longer than the one pending for "gone".
        HostWindow other;
        other.manager()->downloadZip(repo("kept"), commitId);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("ZIP file downloaded successfully!"), 15000);
        QCOMPARE(keptGets, 3);
        QCOMPARE(server.requestCount("GET", "/gone.zip"), 1);
    }
};

VELTRO_TEST_MAIN(TestSync)
#include "tst_sync.moc"
