#include "manifest/repomanager.h"
#include "sync/archivetransfer.h"
#include "sync/boundedreader.h"
#include "sync/resumerecord.h"
#include "sync/watchedrequest.h"

#include "boxcatcher.h"
#include "hostwindow.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProgressBar>
#include <QRegularExpression>
#include <QtTest>

#include <cstring>

namespace {
const QString commitId = QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
const QByteArray noHashFile = "<none>";
const QByteArray id = commitId.toUtf8();
const QString upToDate = "Repository is up-to-date. No need to download.";
const QByteArray etag = "\"v1\"";

// Ends without an error after half the length it announces: what Qt hands over when it misses
// that a connection closed mid-body.
class ShortReply : public QNetworkReply
{
public:
    ShortReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
               QObject *parent)
        : QNetworkReply(parent),
          m_body(operation == QNetworkAccessManager::GetOperation ? 500 : 0, 'z')
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        setHeader(QNetworkRequest::ContentLengthHeader, 1000);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        open(QIODevice::ReadOnly);
        QTimer::singleShot(0, this, [this] {
            emit metaDataChanged();
            emit readyRead();
            setFinished(true);
            emit finished();
        });
    }
    void abort() override {}
    qint64 bytesAvailable() const override
    {
        return m_body.size() + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 size = qMin<qint64>(maxSize, m_body.size());
        std::memcpy(data, m_body.constData(), size_t(size));
        m_body.remove(0, size);
        return size;
    }

private:
    QByteArray m_body;
};

class ShortNetwork : public QNetworkAccessManager
{
protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *) override
    {
        return new ShortReply(operation, request, this);
    }
};
// Whether each text is found within a line, in this order.
bool inOrder(const QStringList &log, const QStringList &texts)
{
    qsizetype at = 0;
    for (const QString &text : texts) {
        while (at < log.size() && !log.at(at).contains(text))
            ++at;
        if (at++ >= log.size())
            return false;
    }
    return true;
}
} // namespace

// One repository's synchronisation: the commit check, the archive download, its failures,
// retried or final, its resumption, and several repositories at once.
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
        QTest::addColumn<QString>("state");    // afterwards

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

    // The name rule itself is the extraction's (file names); here, that it is applied.
    void unsafeRepoName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent folder") << "../escape";
        QTest::newRow("parent alone") << "..";
        QTest::newRow("device name") << "nul";
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

    // How the archive server answers, and what comes of it. Cut GETs are retried; a server that
    // names its file (strong ETag, byte ranges) is asked for the rest only, and whatever it
    // answers, what is installed is the file served.
    void archiveAnswers_data()
    {
        QTest::addColumn<QStringList>("lines"); // in this order, each within a line
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("asked"); // Range and If-Range of each later GET
        QTest::addColumn<QString>("state");
        const qint64 size = LauncherRun::archive("client", 300 * 1024).size();
        const QString all = QString("Downloaded %1 bytes out of %1").arg(size);
        const QString half = QString::number(size / 2);
        const QString ranged = "bytes=" + half + "- \"v1\"";
        const QString refused = "Resume refused, downloading from the start";
        const QString second = QString::number(size / 2 + (size - size / 2) / 2);
        const QString failed = "Failed to download ZIP:  \"";
        const QString diskFull = "\"" + QString::fromLocal8Bit(strerror(ENOSPC)) + "\"";
        const QStringList none;
        QTest::newRow("cut, no validator")
            << QStringList{all} << 1 << QStringList{" "} << "installed";
        QTest::newRow("cut, weak validator")
            << QStringList{all} << 1 << QStringList{" "} << "installed";
        QTest::newRow("cut before the body")
            << QStringList{all} << 1 << QStringList{" "} << "installed";
        QTest::newRow("resumed") << QStringList{"Resuming download at " + half + " bytes", all} << 1
                                 << QStringList{ranged} << "installed";
        QTest::newRow("resumed twice")
            << QStringList{"Resuming download at " + second + " bytes", all} << 2
            << QStringList{ranged, "bytes=" + second + "- \"v1\""} << "installed";
        QTest::newRow("ranges ignored")
            << QStringList{refused, all} << 1 << QStringList{ranged} << "installed";
        // The cut file was another one: its bytes must not be continued by the new one.
        QTest::newRow("changed") << QStringList{refused, all} << 1 << QStringList{ranged}
                                 << "installed";
        QTest::newRow("416") << QStringList{refused, all} << 1 << QStringList{ranged, " "}
                             << "installed";
        QTest::newRow("206 from 0")
            << QStringList{refused, all} << 1 << QStringList{ranged, " "} << "installed";
        QTest::newRow("no length")
            << QStringList{"Failed to retrieve file size.", " bytes out of -1"} << 0 << none
            << "installed";
        QTest::newRow("HEAD length 0")
            << QStringList{"File size detected: 0", " bytes out of -1"} << 0 << none << "installed";
        QTest::newRow("404") << QStringList{"Download error: QNetworkReply::ContentNotFoundError",
                                            failed}
                             << 0 << none << "pending";
        QTest::newRow("empty address")
            << QStringList{"Download error: QNetworkReply::ProtocolUnknownError", failed} << 0
            << none << "pending";
        QTest::newRow("redirect loop")
            << QStringList{"Download error: QNetworkReply::TooManyRedirectsError", failed} << 0
            << none << "pending";
        QTest::newRow("redirect to a file")
            << QStringList{"Download error: QNetworkReply::ProtocolUnknownError", failed} << 0
            << none << "pending";
        // A device that is always full stands in for a full disk.
        QTest::newRow("disk full")
            << QStringList{"Failed to write ZIP file: \"client.zip\" " + diskFull,
                           failed + diskFull.mid(1)}
            << 0 << none << "pending";
        QTest::newRow("disk full, at the flush")
            << QStringList{"Failed to write ZIP file: \"client.zip\" " + diskFull,
                           failed + diskFull.mid(1)}
            << 0 << none << "pending";
        // The GET is never answered: only the launcher can end it, and must, at once.
        QTest::newRow("not opened")
            << QStringList{"Failed to open file for writing:"} << 0 << none << "pending";
    }

    void archiveAnswers()
    {
        QFETCH(QStringList, lines);
        QFETCH(int, retries);
        QFETCH(QStringList, asked);
        QFETCH(QString, state);
        const QString script = QTest::currentDataTag();
        const int dataSize = script.endsWith("flush") ? 2048 : 300 * 1024;
        LauncherRun run;
        run.serveRepo("client", commitId, dataSize);
        const QByteArray zip = LauncherRun::archive("client", dataSize);
        const QByteArray size = QByteArray::number(zip.size());
        QJsonObject entry = run.repos.first().toObject();
        const QByteArray self = entry["download"].toString().toUtf8();
        entry["download"] = "";
        if (script == "empty address")
            run.repos.replace(0, entry);
        if (script.startsWith("disk full"))
            QVERIFY(QFile::link("/dev/full", "client.zip"));
        if (script == "not opened")
            QVERIFY(QDir().mkpath("client.zip"));
        const QByteArray tag = script.endsWith("no validator")     ? ""
                               : script.endsWith("weak validator") ? "W/\"v1\""
                                                                   : etag;
        const int cuts = script == "resumed twice" ? 2 : retries;
        int gets = 0;
        QStringList seen;
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            const bool get = connection->method() == "GET";
            if (get && gets++ > 0 && !script.startsWith("redirect"))
                seen << connection->header("Range") + " " + connection->header("If-Range");
            const bool range = !connection->header("Range").isEmpty();
            if (get && gets <= cuts)
                connection->cutAfter(script == "cut before the body"
                                         ? 0
                                         : (zip.size() - (gets > 1 ? zip.size() / 2 : 0)) / 2);
            if (script == "404" || script.startsWith("redirect"))
                connection->respond(script == "404" ? 404 : 302, {},
                                    {{"Location",
                                      script.endsWith("loop") ? self : "file:///etc/x"}});
            else if (script.contains("length") && !get)
                connection->respondHeaders(200, script == "no length"
                                                    ? HeaderList()
                                                    : HeaderList{{"Content-Length", "0"}});
            else if (script.contains("length")) { // slowly enough for Qt to report progress
                connection->respondHeaders(200, {{"Connection", "close"}});
                connection->trickle(zip, 16 * 1024, 20);
                connect(connection, &HttpConnection::trickled, connection, &HttpConnection::close);
            } else if (script == "not opened" && get)
                return;
            else if (script == "changed")
                connection->respondFile(gets == 1 ? LauncherRun::noise(zip.size(), "v1") : zip,
                                        gets == 1 ? etag : "\"v2\"");
            else if (range && script == "ranges ignored")
                connection->respond(200, zip, {{"ETag", tag}, {"Accept-Ranges", "bytes"}});
            else if (range && script == "416")
                connection->respond(416, {}, {{"Content-Range", "bytes */" + size}});
            else if (range && script == "206 from 0")
                connection->respond(206, zip,
                                    {{"Content-Range", "bytes 0-"
                                                           + QByteArray::number(zip.size() - 1)
                                                           + "/" + size}});
            else
                connection->respondFile(zip, tag);
        });
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(inOrder(run.log.lines(), lines), 15000);
        QTRY_COMPARE(run.state("client", commitId), state);
        QCOMPARE(seen, asked);
        QCOMPARE(run.log.count("Retrying download..."), retries);
        QTRY_VERIFY(run.window->findChildren<QNetworkReply *>().isEmpty());
        if (state == "installed")
            QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
    }

    // What a start finds of an earlier one: an archive continued when the server still has the
    // file it was cut from, and not fetched at all when it is complete.
    void nextStart_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QStringList>("asked"); // Range of each GET of the second start
        QTest::newRow("closed mid-download") << "held" << QStringList{"bytes=held-"};
        QTest::newRow("closed while the retry waits") << "cut" << QStringList{"bytes=held-"};
        QTest::newRow("complete archive") << "complete" << QStringList{};
        QTest::newRow("complete, server has another") << "other" << QStringList{""};
    }

    void nextStart()
    {
        QFETCH(QString, left);
        QFETCH(QStringList, asked);
        const QByteArray zip = LauncherRun::archive("client", 300 * 1024);
        LauncherRun run;
        run.serveRepo("client", commitId, 300 * 1024);
        QStringList seen;
        bool first = left == "held" || left == "cut"; // a start before the one looked at
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            if (connection->method() == "GET" && first && left == "held") {
                connection->respondHeaders(200, {{"Content-Length", QByteArray::number(zip.size())},
                                                 {"ETag", etag},
                                                 {"Accept-Ranges", "bytes"}});
                connection->trickle(zip.left(zip.size() / 2), 16384, 20);
                return;
            }
            if (connection->method() == "GET" && first)
                connection->cutAfter(zip.size() / 2);
            else if (connection->method() == "GET")
                seen << connection->header("Range");
            connection->respondFile(zip, etag);
        });
        if (first) {
            run.start();
            QTRY_VERIFY(
                run.log.contains(left == "cut" ? "Retrying download..." : "Downloaded", true));
            run.window.reset(); // the archive file and the GET go with the window
            first = false;
        } else {
            QVERIFY(LauncherRun::writeFile("client.zip", zip));
            const QString url = run.repos.first().toObject()["download"].toString();
            const ResumeRecord record{zip.size(), url, left == "other" ? "\"v0\"" : etag};
            QVERIFY(record.write("client.zip"));
        }
        const QString held = QString::number(QFileInfo("client.zip").size());
        run.start();
        QTRY_COMPARE(run.state("client", commitId), QString("installed"));
        QCOMPARE(seen, asked.replaceInStrings("held", held));
        QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
    }

    // A body that ends short without an error from Qt is a cut like any other.
    void shortBodyWithoutError()
    {
        LogCollector log;
        ShortNetwork network;
        HostWindow host({"client"});
        Repo repo;
        repo.name = "client";
        repo.download = "http://127.0.0.1:9/client.zip";
        ArchiveTransfer::start(host.manager(), &network, repo, commitId);
        QTRY_VERIFY(log.contains("Failed to download ZIP:  \"Connection closed\""));
        QCOMPARE(log.missingInOrder({"Download error: QNetworkReply::RemoteHostClosedError "
                                     "\"Connection closed\"",
                                     "Retrying download...",
                                     "Failed to download ZIP:  \"Connection closed\""}),
                 QString());
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
            run.server.route(LauncherRun::archivePath(name),
                             [&, name,
                              zip = LauncherRun::archive(name, size)](HttpConnection *connection) {
                                 if (connection->method() == "GET" && ++gets[name] == 1)
                                     connection->cutAfter(zip.size() / 2, reset, holdMs);
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
        QTest::addColumn<int>("trickled"); // last bytes sent one every 400 ms; negative: of 20
        QTest::addColumn<QString>("outcome");
        const QByteArray manifest = "/kiv/updater.json";
        const QByteArray archive = LauncherRun::archivePath("client");
        const QString installed = "Extraction completed successfully!";
        const QString timedOut = "Download error: QNetworkReply::TimeoutError";
        QTest::newRow("manifest stalls") << manifest << 0 << "Download Error";
        QTest::newRow("commit list stalls")
            << LauncherRun::commitsPath("client") << 0
            << "Failed to fetch commit hash from GitLab:  \"No data received for too long";
        QTest::newRow("archive stalls") << archive << 0 << timedOut;
        QTest::newRow("manifest trickles") << manifest << 10 << installed;
        QTest::newRow("archive trickles") << archive << 10 << installed;
        // Ticks on time after seconds of arrivals: the silence counts from the last one.
        QTest::newRow("archive trickles, then stalls") << archive << -8 << timedOut;
    }

    void idleTimeout()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, trickled);
        QFETCH(QString, outcome);
        LauncherRun run;
        run.serveRepo("client", commitId);
        const QByteArray body =
            path == "/kiv/updater.json"
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
            const qsizetype from = body.size() - (trickled < 0 ? 20 : trickled);
            if (trickled != 0) {
                connection->write(body.left(from));
                connection->trickle(body.mid(from, qAbs(trickled)), 1, 400);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(outcome, true)
                                     || (boxes.count() && boxes.boxes().first().title == outcome),
                                 20000);
        if (trickled != 0 || path.startsWith("/files/")) {
            // Only the archive is asked again.
            QTRY_COMPARE_WITH_TIMEOUT(run.state("client", commitId), QString("installed"), 20000);
            QCOMPARE(gets, trickled > 0 ? 1 : 2);
            QCOMPARE(boxes.count(), 0);
        } else {
            QCOMPARE(run.state("client", commitId),
                     path.startsWith("/commits/") ? "no hash, archive gone, bar hidden, buttons off"
                                                  : "no hash, archive gone, no bar, buttons off");
        }
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

    // When a reader may keep the release of bytes from Qt's count: only once bytes beyond the
    // bound have shown the count short, and never by more than they showed.
    void boundedReader_data()
    {
        QTest::addColumn<QList<qint64>>("waiting"); // under a bound of 100
        QTest::addColumn<QList<bool>>("withheld");
        QTest::newRow("within the bound")
            << QList<qint64>{100, 50, 100, 0} << QList<bool>{false, false, false, false};
        QTest::newRow("withheld up to the proven shortfall, then reported")
            << QList<qint64>{400, 100, 150, 50, 10} << QList<bool>{false, true, true, true, false};
        QTest::newRow("a read larger than what is proven is reported")
            << QList<qint64>{250, 200, 100, 60} << QList<bool>{false, false, true, false};
        QTest::newRow("a later overshoot proves more")
            << QList<qint64>{150, 40, 300, 200} << QList<bool>{false, true, false, true};
    }

    void boundedReader()
    {
        QFETCH(QList<qint64>, waiting);
        QFETCH(QList<bool>, withheld);
        BoundedReader reader;
        QList<bool> decisions;
        for (const qint64 bytes : waiting)
            decisions.append(reader.mayWithhold(bytes, 100));
        QCOMPARE(decisions, withheld);
    }
};

VELTRO_TEST_MAIN(TestSync)
#include "tst_sync.moc"
