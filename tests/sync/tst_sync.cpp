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
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <cstring>

namespace {
const QString commitId = QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
const QByteArray id = commitId.toUtf8();
const QByteArray etag = "\"v1\"";

// Ends without an error after half the length it announces: what Qt hands over when it misses
// that a connection closed mid-body.
class ShortReply : public QNetworkReply
{
public:
    ShortReply(bool get, QObject *parent) : QNetworkReply(parent), m_body(get ? 500 : 0, 'z')
    {
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
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &, QIODevice *) override
    {
        return new ShortReply(operation == GetOperation, this);
    }
};

// Whether the log holds each text, in this order.
bool inOrder(const QStringList &log, const QStringList &texts)
{
    const QString all = log.join('\n');
    qsizetype at = 0;
    for (const QString &text : texts) {
        if ((at = all.indexOf(text, at)) < 0)
            return false;
        at += text.size();
    }
    return true;
}
} // namespace

// The update cycle, from the manifest to the programs started and the next start up to date, and
// its parts: the commit check, the archive download, its failures, retries and resumption.
class TestSync : public QObject
{
    Q_OBJECT

private slots:
    void init() { WatchedRequest::setIdleMs(10000); }

    void fullCycle_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("id");
        QTest::newRow("http") << false << "3f786850e387550fdab836ed7e6dc881de23001b";
        QTest::newRow("https, an id with escapes")
            << true << QString::fromUtf8("a\xC3\xA9\xF0\x9F\x98\x80\"b");
        QTest::newRow("an id of a megabyte")
            << false << QString("0123456789abcdef").repeated(65536);
    }

    void fullCycle()
    {
        QFETCH(bool, tls);
        QFETCH(QString, id);
        if (tls && TestEnvironment::underWine())
            QSKIP("Under Wine the in-process server's TLS handshakes never complete");
        LauncherRun run(tls);
        run.serveRepo("client", id);
        // A repository whose folder is not named like it.
        run.serveRepo("moor", id, LauncherRun::archive("moor-online"));
        QJsonObject moor = run.repos.last().toObject();
        moor["dir"] = "moor-online";
        run.repos.replace(1, moor);
        run.start();

        QTRY_COMPARE_WITH_TIMEOUT(run.state("client", id), QString("installed"), 20000);
        QTRY_COMPARE(run.state("moor", id), QString("installed"));
        const QString size = QString::number(LauncherRun::archive("client").size());
        QCOMPARE(run.log.missingInOrder(
                     {"Fetching latest commit hash from GitLab for repository:  \"client\"",
                      "Hash is different. Downloading ZIP...", "Todos os botões foram desativados!",
                      "File size detected: " + size, "Downloaded " + size + " bytes out of " + size,
                      "ZIP file downloaded successfully!", "\"client.zip\"",
                      "Extracting to AppData/Local at: \"" + LauncherRun::installRoot() + "\"",
                      "ZIP extraction completed!", "Extraction completed successfully!",
                      "Arquivo ZIP removido com sucesso:  \"client.zip\""}),
                 QString());
        QCOMPARE(run.log.lines().last(),
                 "Todos os botões foram ativados, todas as atualizações estão completas!");

        // Button 0 starts the entry's exe and says nothing; a further button says which repository.
        const QList<QPushButton *> buttons = run.window->findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 4);
        run.log.clear();
        buttons.at(0)->click();
        const QString client = LauncherRun::installRoot() + "/client";
        QTRY_COMPARE(LauncherRun::launchRecord(client),
                     (QStringList{QDir(client).canonicalPath(), "[--mode]", "[fast]"}));
        QCOMPARE(run.log.lines(), QStringList());
        buttons.at(3)->click();
        const QString moorFolder = LauncherRun::installRoot() + "/moor-online";
        QTRY_COMPARE(LauncherRun::launchRecord(moorFolder),
                     (QStringList{QDir(moorFolder).canonicalPath(), "[--mode]", "[fast]"}));
        QCOMPARE(run.log.lines(), QStringList{"Botão do repositório \"moor\" foi clicado!"});

        // The next start finds both commits recorded and asks for no archive.
        run.window.reset();
        run.log.clear();
        run.start();
        QTRY_COMPARE_WITH_TIMEOUT(run.log.count("Repository is up-to-date. No need to download."),
                                  2, 20000);
        QTRY_COMPARE(run.state("client", id), QString("installed"));
        QCOMPARE(run.server.requestCount("GET", LauncherRun::archivePath("client")), 1);
    }

    void failedExtractionRepairedNextStart()
    {
        const QString id = "6f1c2b7e9d0a4c3b8e5f7a1d2c4b6e8f0a1b3c5d";
        LauncherRun run;
        // A recorded older commit must survive an archive that does not extract.
        QVERIFY(LauncherRun::writeFile("client_hash.txt", "older"));
        run.serveRepo("client", id);
        // Then served whole under the same name: the damaged archive kept is not taken for it.
        const QByteArray zip = LauncherRun::archive("client");
        QByteArray damaged = LauncherRun::noise(int(zip.size()), "not an archive");
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            connection->respondFile(damaged, etag);
        });
        run.start();
        QTRY_VERIFY(run.log.contains("ZIP file extraction failed."));
        QTRY_COMPARE(run.state("client", id),
                     QString("hash other, archive kept, bar hidden, buttons on"));

        damaged = zip;
        run.window.reset();
        run.start();
        QTRY_COMPARE(run.state("client", id), QString("installed"));
        QCOMPARE(run.server.requestCount("GET", LauncherRun::archivePath("client")), 2);
    }

    void commitCheck_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("commits");
        QTest::addColumn<int>("status");          // 0: the answer stalls after its headers
        QTest::addColumn<QByteArray>("hashFile"); // none when empty
        QTest::addColumn<QString>("decision");    // the line that decides, or its start
        QTest::addColumn<QString>("state");       // afterwards
        const auto row = [](const char *row, const QByteArray &commits, int status,
                            const QByteArray &hashFile, const QString &decision,
                            const QString &state, const QString &name = "client") {
            QTest::newRow(row) << name << commits << status << hashFile << decision << state;
        };
        const QByteArray list = LauncherRun::commitsBody(commitId);
        const QString none = "No commits found for the repository.";
        const QString same = "Repository is up-to-date. No need to download.";
        const QString download = "Hash is different. Downloading ZIP...";
        const QString failed = "Failed to fetch commit hash from GitLab:  \"";
        const QString stopped = "no hash, archive gone, bar hidden, buttons off";
        const QString kept = "hash other, archive gone, bar hidden, buttons on";
        row("empty array", "[]", 200, "", none, stopped);
        row("not JSON", "<html>", 200, "", none, stopped);
        row("404", "{}", 404, "", failed + "Error transferring", stopped);
        row("stalls", list, 0, "", failed + "No data received for too long", stopped);
        row("same id", list, 200, id, same, "installed");
        row("CRLF and a second line", list, 200, id + "\r\nsecond\r\n", same, kept);
        row("byte-order mark", list, 200, "\xEF\xBB\xBF" + id, same, kept);
        row("trailing blank", list, 200, id + " ", download, "installed");
        row("no hash file", list, 200, "", download, "installed");
        row("no id, no hash file", R"([{"title": "x"}])", 200, "", same,
            "no hash, archive gone, bar hidden, buttons on");
        row("no id, a hash file", R"([{"id": 42}])", 200, id, download, kept);
        // The name rule is the extraction's (file names); here, that it is applied before all.
        const QString refused = "Refusing to synchronise repository with an unsafe name:";
        row("unsafe name", list, 200, "", refused, stopped, "../escape");
        row("unsafe name, parent alone", list, 200, "", refused, stopped, "..");
    }

    void commitCheck()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, commits);
        QFETCH(int, status);
        QFETCH(QByteArray, hashFile);
        QFETCH(QString, decision);
        QFETCH(QString, state);
        LauncherRun run;
        const QStringList before = QDir("..").entryList(QDir::AllEntries);
        if (!hashFile.isEmpty())
            QVERIFY(LauncherRun::writeFile(name + "_hash.txt", hashFile));
        run.serveRepo(name, commitId, LauncherRun::archive(name));
        run.server.serve(LauncherRun::commitsPath(name), commits, status);
        if (status == 0) {
            WatchedRequest::setIdleMs(1500);
            run.server.route(LauncherRun::commitsPath(name), [](HttpConnection *connection) {
                connection->respondHeaders(200, {{"Content-Length", "100"}});
            });
        }
        run.start();
        QTRY_VERIFY(run.log.contains(decision, true));
        // A download without an id records the empty id.
        QTRY_COMPARE(run.state(name, commits.contains(id) ? commitId : QString()), state);
        QCOMPARE(QDir("..").entryList(QDir::AllEntries), before);
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath(name)),
                 decision.startsWith("Refusing") ? 0 : 1);
    }

    void manifestStalls()
    {
        LauncherRun run;
        WatchedRequest::setIdleMs(1500);
        BoxCatcher boxes;
        run.start();
        run.server.route("/kiv/updater.json", [](HttpConnection *connection) {
            connection->respondHeaders(200, {{"Content-Length", "100"}});
        });
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Download Error"));
    }

    // How the archive server answers, within a start or across two, and what comes of it. Cut
    // GETs are retried; a server that names its file (strong ETag, byte ranges) is asked for the
    // rest only, and whatever it answers, what is installed is the file served.
    void archiveAnswers_data()
    {
        QTest::addColumn<QStringList>("lines"); // in this order
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>(
            "asked"); // Range and If-Range of each later GET, or its start
        QTest::addColumn<QString>("state");
        const auto row = [](const char *name, const QStringList &lines, int retries,
                            const QStringList &asked, const QString &state = "installed") {
            QTest::newRow(name) << lines << retries << asked << state;
        };
        const qint64 size = LauncherRun::archive("client", 300 * 1024).size();
        const QString all = QString("Downloaded %1 bytes out of %1").arg(size);
        const auto from = [](qint64 at) { return "bytes=" + QString::number(at) + "- \"v1\""; };
        const auto resumed = [](qint64 at) {
            return "Resuming download at " + QString::number(at) + " bytes";
        };
        const QString refused = "Resume refused, downloading from the start";
        const qint64 second = size / 2 + (size - size / 2) / 2;
        const QString timedOut = "Download error: QNetworkReply::TimeoutError";
        const QString failed = "Failed to download ZIP:  \"";
        const QString full = QString::fromLocal8Bit(strerror(ENOSPC)) + "\"";
        const QString unwritable = "Failed to write ZIP file: \"client.zip\" \"" + full;
        const QString error = "Download error: QNetworkReply::";
        row("cut, no validator", {all}, 1, {" "});
        row("cut, weak validator", {all}, 1, {" "});
        row("cut before the body", {all}, 1, {" "});
        row("resumed", {resumed(size / 2), all}, 1, {from(size / 2)});
        row("resumed twice", {resumed(second), all}, 2, {from(size / 2), from(second)});
        row("resumed after a reset", {resumed(size / 2), all}, 1, {from(size / 2)});
        // Over TLS what arrives before the cut varies: the resumption starts where the file ends.
        row("resumed over HTTPS", {"Resuming download at", all}, 1, {"bytes="});
        row("ranges ignored", {refused, all}, 1, {from(size / 2)});
        // The cut file was another one: its bytes must not be continued by the new one.
        row("changed", {refused, all}, 1, {from(size / 2)});
        row("416", {refused, all}, 1, {from(size / 2), " "});
        row("206 from 0", {refused, all}, 1, {from(size / 2), " "});
        row("closed mid-download", {"Resuming download at", all}, 0, {"bytes=held- \"v1\""});
        row("closed while the retry waits", {"Resuming download at", all}, 1,
            {"bytes=held- \"v1\""});
        row("complete archive", {resumed(size), "ZIP file downloaded successfully!"}, 0, {});
        row("complete, another on the server", {all}, 0, {" "});
        // Ticks on time after seconds of arrivals: the silence counts from the last one. A watch
        // that counted from the start, or missed it, would end elsewhere.
        row("trickles, then stalls", {timedOut, resumed(size - 12), all}, 1, {from(size - 12)});
        row("no length", {"Failed to retrieve file size.", all}, 0, {});
        row("HEAD length 0", {"File size detected: 0", all}, 0, {});
        row("404", {error + "ContentNotFoundError", failed}, 0, {}, "pending");
        row("empty address", {error + "ProtocolUnknownError", failed}, 0, {}, "pending");
        row("redirect loop", {error + "TooManyRedirectsError", failed}, 0, {}, "pending");
        row("redirect to a file", {error + "ProtocolUnknownError", failed}, 0, {}, "pending");
        // A device that is always full stands in for a full disk.
        row("disk full", {unwritable, failed + full}, 0, {}, "pending");
        row("disk full, at the flush", {unwritable, failed + full}, 0, {}, "pending");
        // The GET is never answered: only the launcher can end it, and must, at once.
        row("not opened", {"Failed to open file for writing:"}, 0, {}, "pending");
    }

    void archiveAnswers()
    {
        QFETCH(QStringList, lines);
        QFETCH(int, retries);
        QFETCH(QStringList, asked);
        QFETCH(QString, state);
        const QString script = QTest::currentDataTag();
        const int dataSize = script.endsWith("flush") ? 2048 : 300 * 1024;
#ifdef Q_OS_WIN
        if (script.startsWith("disk full"))
            QSKIP("The full disk is Linux's /dev/full");
#endif
        if (script.endsWith("HTTPS") && TestEnvironment::underWine())
            QSKIP("Under Wine the in-process server's TLS handshakes never complete");
        LauncherRun run(script.endsWith("HTTPS"));
        run.serveRepo("client", commitId, dataSize);
        const QByteArray zip = LauncherRun::archive("client", dataSize);
        const QByteArray size = QByteArray::number(zip.size());
        QJsonObject entry = run.repos.first().toObject();
        const QByteArray self = entry["download"].toString().toUtf8();
        const QByteArray tag = script.endsWith("no validator")     ? ""
                               : script.endsWith("weak validator") ? "W/\"v1\""
                                                                   : etag;
        const int cuts = script.contains("stall") ? 0 : retries; // GETs cut after half their body
        if (script.contains("stall") || script.contains("trickle"))
            WatchedRequest::setIdleMs(1500);
        if (script.startsWith("disk full"))
            QVERIFY(QFile::link("/dev/full", "client.zip"));
        if (script == "not opened")
            QVERIFY(QDir().mkpath("client.zip"));
        if (script.startsWith("complete")) {
            QVERIFY(LauncherRun::writeFile("client.zip", zip));
            const QByteArray other = "\"v0\"";
            const ResumeRecord record{zip.size(), self, script.endsWith("archive") ? etag : other};
            QVERIFY(record.write("client.zip"));
        }
        entry["download"] = "";
        if (script == "empty address")
            run.repos.replace(0, entry);
        // Headers of a file server, then the first `sent` bytes, and `trickled` more slowly.
        const auto slowly = [&](HttpConnection *connection, qsizetype sent, qsizetype trickled,
                                int piece, int intervalMs) {
            connection->respondHeaders(200, {{"Content-Length", size},
                                             {"ETag", etag},
                                             {"Accept-Ranges", "bytes"}});
            connection->write(zip.left(sent));
            connection->trickle(zip.mid(sent, trickled), piece, intervalMs);
        };
        int gets = 0;
        QStringList seen;
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            const bool get = connection->method() == "GET";
            if (get && (gets++ > 0 || script.startsWith("complete"))
                && !script.startsWith("redirect"))
                seen << connection->header("Range") + " " + connection->header("If-Range");
            const bool first = get && gets == 1;
            const bool range = !connection->header("Range").isEmpty();
            if (get && gets <= cuts)
                connection->cutAfter(gets > 1 ? (zip.size() - zip.size() / 2) / 2
                                     : script == "cut before the body" ? 0
                                                                       : zip.size() / 2,
                                     script.endsWith("reset"));
            if (script == "404" || script.startsWith("redirect")) {
                connection->respond(script == "404" ? 404 : 302, "not here",
                                    {{"Location",
                                      script.endsWith("loop") ? self : "file:///etc/x"}});
            } else if (script.contains("length") && !get) {
                connection->respondHeaders(200, script == "no length"
                                                    ? HeaderList()
                                                    : HeaderList{{"Content-Length", "0"}});
            } else if (first && script == "trickles, then stalls") {
                slowly(connection, zip.size() - 20, 8, 1, 400);
            } else if (first && script == "closed mid-download") {
                slowly(connection, 0, zip.size() / 2, 16384, 20);
            } else if (get && script == "not opened") {
                // never answered
            } else if (script == "changed") {
                connection->respondFile(first ? LauncherRun::noise(zip.size(), "v1") : zip,
                                        first ? etag : "\"v2\"");
            } else if (range && script == "ranges ignored") {
                connection->respond(200, zip, {{"ETag", tag}, {"Accept-Ranges", "bytes"}});
            } else if (range && script == "416") {
                connection->respond(416, {}, {{"Content-Range", "bytes */" + size}});
            } else if (range && script == "206 from 0") {
                const QByteArray whole = "bytes 0-" + QByteArray::number(zip.size() - 1) + "/";
                connection->respond(206, zip, {{"Content-Range", whole + size}});
            } else {
                connection->respondFile(zip, tag);
            }
        });
        run.start();
        if (script.startsWith("closed")) {
            QTRY_VERIFY(
                run.log.contains(script.endsWith("waits") ? "Retrying download..." : "Downloaded",
                                 true));
            run.window.reset(); // the archive file and the GET go with the window
            seen.clear();
            asked.replaceInStrings("held", QString::number(QFileInfo("client.zip").size()));
            run.start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(inOrder(run.log.lines(), lines), 15000);
        QTRY_COMPARE(run.state("client", commitId), state);
        QCOMPARE(seen.size(), asked.size());
        for (qsizetype i = 0; i < seen.size(); ++i)
            QVERIFY2(seen.at(i).startsWith(asked.at(i)), qPrintable(seen.at(i)));
        QCOMPARE(run.log.count("Retrying download..."), retries);
        QTRY_VERIFY(run.window->findChildren<QNetworkReply *>().isEmpty());
        if (state == "installed")
            QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
        if (script == "404") // an error page is no part of the archive
            QCOMPARE(LauncherRun::readAll("client.zip"), QByteArray());
    }

    // A body that ends short without an error from Qt is a cut like any other.
    void shortBodyWithoutError()
    {
        LauncherRun run; // a clean working folder, and the log
        ShortNetwork network;
        HostWindow host({"client"});
        Repo repo;
        repo.name = "client";
        ArchiveTransfer::start(host.manager(), &network, repo, commitId);
        QTRY_VERIFY(run.log.contains("Failed to download ZIP:  \"Connection closed\""));
        QVERIFY(inOrder(run.log.lines(), {"Download error: QNetworkReply::RemoteHostClosedError",
                                          "Retrying download..."}));
    }

    void buttonsWaitForLastRepository()
    {
        LauncherRun run;
        run.serveRepo("alpha", commitId);
        run.serveRepo("beta", commitId);
        // Beta's archive is held until the test lets it go.
        QPointer<HttpConnection> betaGet;
        run.server.route(LauncherRun::archivePath("beta"), [&](HttpConnection *connection) {
            connection->method() == "HEAD" ? connection->respond(200, LauncherRun::archive("beta"))
                                           : void(betaGet = connection);
        });
        run.start();
        QTRY_VERIFY(betaGet);
        QTRY_COMPARE(run.state("alpha", commitId),
                     QString("hash recorded, archive gone, bar hidden, buttons off"));
        betaGet->respond(200, LauncherRun::archive("beta"));
        QTRY_COMPARE(run.state("beta", commitId), QString("installed"));
        QCOMPARE(run.state("alpha", commitId), QString("installed"));
    }

    // When a reader may keep the release of bytes from Qt's count (bound 100): only once bytes
    // beyond the bound have shown the count short, and never by more than they showed.
    void boundedReader_data()
    {
        QTest::addColumn<QList<qint64>>("waiting");
        QTest::addColumn<QList<bool>>("withheld");
        QTest::newRow("within the bound")
            << QList<qint64>{100, 50, 100, 0} << QList<bool>{0, 0, 0, 0};
        QTest::newRow("withheld up to the proven shortfall, then reported")
            << QList<qint64>{400, 100, 150, 50, 10} << QList<bool>{0, 1, 1, 1, 0};
        QTest::newRow("a read larger than what is proven is reported")
            << QList<qint64>{250, 200, 100, 60} << QList<bool>{0, 0, 1, 0};
        QTest::newRow("a later overshoot proves more")
            << QList<qint64>{150, 40, 300, 200} << QList<bool>{0, 1, 0, 1};
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
