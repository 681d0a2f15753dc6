#include "extract/diskspace.h"
#include "extract/stagedinstall.h"
#include "launch/columnstatus.h"
#include "launch/gating.h"
#include "sync/archivetransfer.h"
#include "sync/boundedreader.h"
#include "sync/resumerecord.h"
#include "sync/transferprotocol.h"
#include "sync/watchedrequest.h"

#include "boxcatcher.h"
#include "hostwindow.h"
#include "launcherrun.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include <cstring>

enum class Ranged { Honoured, Whole, Refused, FromZero };
enum class Head { Length, NoLength, Zero, ErrorPage, Refused };
enum class Held { Nothing, Half, HalfOtherAddress, Whole, WholeOtherFile, WholeOtherCommit };
enum class Trouble {
    None,
    AnotherFileFirst,
    Restarted,
    RestartedWhileWaiting,
    Stalls,
    NotFound,
    EmptyAddress,
    RedirectLoop,
    RedirectToFile,
    DiskFull,
    DiskFullAtFlush,
    FolderInPlace,
    NoSpace,
};

namespace {
const QByteArray etag = "\"v1\"";

// How the archive's server answers, and what an earlier start left.
struct Server
{
    QByteArray tag = etag;            // the ETag served
    QList<qint64> cuts;               // per GET: bytes of the body sent, -1: all
    bool reset = false;               // cuts reset the connection
    Ranged ranged = Ranged::Honoured; // how a ranged GET is answered
    Head head = Head::Length;         // how the HEAD is answered
    Held held = Held::Nothing;
    Trouble trouble = Trouble::None;
};
const QString commitId = QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
const QByteArray id = commitId.toUtf8();

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

} // namespace

// The update cycle, from the manifest to the programs started and the next start up to date, and
// its parts: the commit check, the archive download, its failures, retries and resumption.
class TestSync : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        WatchedRequest::setIdleMs(10000);
        DiskSpace::freeSpaceHook = {};
    }

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
        QCOMPARE(run.log.lines().last(), allUpdatesDoneLine);

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
        QTest::addColumn<Server>("server");
        QTest::addColumn<QStringList>("lines"); // in this order
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("asked"); // Range and If-Range of each later GET
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("status"); // the start of the status line, if any
        const qint64 size = LauncherRun::archive("client", 300 * 1024).size();
        const qint64 half = size / 2;
        const qint64 second = half + (size - half) / 2;
        const QString all = QString("Downloaded %1 bytes out of %1").arg(size);
        const auto from = [](qint64 at) { return "bytes=" + QString::number(at) + "- \"v1\""; };
        const auto resumed = [](qint64 at) {
            return "Resuming download at " + QString::number(at) + " bytes";
        };
        const QString refused = "Resume refused, downloading from the start";
        const QString failed = "Failed to download ZIP:  \"";
        const QString full = QString::fromLocal8Bit(strerror(ENOSPC)) + "\"";
        const QString unwritable = "Failed to write ZIP file: \"client.zip\" \"" + full;
        const QString error = "Download error: QNetworkReply::";
        const auto row = [](const char *name, const Server &server, const QStringList &lines,
                            int retries, const QStringList &asked,
                            const QString &state = "installed", const QString &status = {}) {
            QTest::newRow(name) << server << lines << retries << asked << state << status;
        };
        const auto cut = [half](Ranged ranged, const QByteArray &tag = etag) {
            return Server{tag, {half}, false, ranged};
        };
        const auto with = [](Trouble trouble, const QList<qint64> &cuts = {}) {
            return Server{etag,         cuts,          false,  Ranged::Honoured,
                          Head::Length, Held::Nothing, trouble};
        };
        const auto found = [](Head head, Held held = Held::Nothing) {
            return Server{etag, {}, false, Ranged::Honoured, head, held};
        };
        const QString pending = "pending";
        const QString cannotWrite = "Could not write the download to ";
        row("cut, no validator", cut(Ranged::Honoured, ""), {all}, 1, {" "});
        row("cut, weak validator", cut(Ranged::Honoured, "W/\"v1\""), {all}, 1, {" "});
        row("cut before the body", {etag, {0}}, {all}, 1, {" "});
        row("resumed", cut(Ranged::Honoured), {resumed(half), all}, 1, {from(half)});
        row("resumed twice", {etag, {half, (size - half) / 2}}, {resumed(second), all}, 2,
            {from(half), from(second)});
        row("resumed after a reset", {etag, {half}, true}, {resumed(half), all}, 1, {from(half)});
        row("ranges ignored", cut(Ranged::Whole), {refused, all}, 1, {from(half)});
        row("416", cut(Ranged::Refused), {refused, all}, 1, {from(half), " "});
        row("206 from 0", cut(Ranged::FromZero), {refused, all}, 1, {from(half), " "});
        // The file changed on the server: the HEAD's validator says so, and nothing is continued.
        row("changed", with(Trouble::AnotherFileFirst, {half}), {all}, 1, {" "});
        // The HEAD fails while the server is away: the part held stays, and the GET decides.
        row("HEAD refused, part held", found(Head::Refused, Held::Half),
            {"Failed to retrieve file size.", resumed(half), all}, 0, {from(half)});
        // An error page's length is not the archive's.
        row("HEAD answers an error page", found(Head::ErrorPage),
            {"Failed to retrieve file size.", all}, 0, {});
        row("no length", found(Head::NoLength), {"Failed to retrieve file size.", all}, 0, {});
        row("HEAD length 0", found(Head::Zero), {"File size detected: 0", all}, 0, {});
        row("complete archive", found(Head::Length, Held::Whole),
            {resumed(size), "ZIP file downloaded successfully!"}, 0, {});
        row("complete, another on the server", found(Head::Length, Held::WholeOtherFile), {all}, 0,
            {" "});
        // Downloaded for an older commit: the same file name and length under the same ETag.
        row("complete, for another commit", found(Head::Length, Held::WholeOtherCommit), {all}, 0,
            {" "});
        row("part from another address", found(Head::Length, Held::HalfOtherAddress), {all}, 0,
            {" "});
        row("closed mid-download", with(Trouble::Restarted), {"Resuming download at", all}, 0,
            {"bytes=held- \"v1\""});
        row("closed while the retry waits", with(Trouble::RestartedWhileWaiting, {half}),
            {"Resuming download at", all}, 1, {"bytes=held- \"v1\""});
        // Ticks on time after seconds of arrivals: the silence counts from the last one. A watch
        // that counted from the start, or missed it, would end elsewhere.
        row("trickles, then stalls", with(Trouble::Stalls),
            {error + "TimeoutError", resumed(size - 12), all}, 1, {from(size - 12)});
        row("404", with(Trouble::NotFound), {error + "ContentNotFoundError", failed}, 0, {},
            pending, "Download failed (server answered 404)");
        row("empty address", with(Trouble::EmptyAddress), {error + "ProtocolUnknownError", failed},
            0, {}, pending, "Download failed (unusable address)");
        row("redirect loop", with(Trouble::RedirectLoop), {error + "TooManyRedirectsError", failed},
            0, {}, pending);
        row("redirect to a file", with(Trouble::RedirectToFile),
            {error + "ProtocolUnknownError", failed}, 0, {}, pending);
        // A device that is always full stands in for a full disk.
        row("disk full", with(Trouble::DiskFull), {unwritable, failed + full}, 0, {}, pending,
            cannotWrite);
        row("disk full, at the flush", with(Trouble::DiskFullAtFlush), {unwritable, failed + full},
            0, {}, pending, cannotWrite);
        // The GET is never answered: only the launcher can end it, and must, at once.
        // Nothing is asked for that cannot be stored.
        row("no room for the archive", with(Trouble::NoSpace), {"Not enough disk space:"}, 0, {},
            pending, "Not enough disk space: ");
        row("not opened", with(Trouble::FolderInPlace), {"Failed to open file for writing:"}, 0, {},
            pending, cannotWrite);
    }

    void archiveAnswers()
    {
        QFETCH(Server, server);
        QFETCH(QStringList, lines);
        QFETCH(int, retries);
        QFETCH(QStringList, asked);
        QFETCH(QString, state);
        QFETCH(QString, status);
        const bool diskFull = server.trouble == Trouble::DiskFull
                              || server.trouble == Trouble::DiskFullAtFlush;
        const int dataSize = server.trouble == Trouble::DiskFullAtFlush ? 2048 : 300 * 1024;
#ifdef Q_OS_WIN
        if (diskFull)
            QSKIP("The full disk is Linux's /dev/full");
#endif
        LauncherRun run;
        run.serveRepo("client", commitId, dataSize);
        const QByteArray zip = LauncherRun::archive("client", dataSize);
        const QByteArray size = QByteArray::number(zip.size());
        QJsonObject entry = run.repos.first().toObject();
        const QByteArray self = entry["download"].toString().toUtf8();
        if (server.trouble == Trouble::Stalls)
            WatchedRequest::setIdleMs(1500);
        if (diskFull)
            QVERIFY(QFile::link("/dev/full", "client.zip"));
        if (server.trouble == Trouble::FolderInPlace)
            QVERIFY(QDir().mkpath("client.zip"));
        if (server.trouble == Trouble::NoSpace)
            DiskSpace::freeSpaceHook = [](const QString &) { return qint64(1024); };
        if (server.held != Held::Nothing) {
            const bool whole = server.held == Held::Whole || server.held == Held::WholeOtherFile
                               || server.held == Held::WholeOtherCommit;
            QVERIFY(LauncherRun::writeFile("client.zip", whole ? zip : zip.left(zip.size() / 2)));
            const ResumeRecord record{zip.size(),
                                      server.held == Held::HalfOtherAddress ? self + "x" : self,
                                      server.held == Held::WholeOtherFile ? "\"v0\"" : etag,
                                      server.held == Held::WholeOtherCommit ? "0000" + commitId
                                                                            : commitId};
            QVERIFY(record.write("client.zip"));
        }
        if (server.trouble == Trouble::EmptyAddress) {
            entry["download"] = "";
            run.repos.replace(0, entry);
        }
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
        QSet<QByteArray> cacheControl;
        run.server.route(LauncherRun::archivePath("client"), [&](HttpConnection *connection) {
            if (connection->method() != "GET") {
                switch (server.head) {
                case Head::Length:
                    break;
                case Head::NoLength:
                    return connection->respondHeaders(200, {});
                case Head::Zero:
                    return connection->respondHeaders(200, {{"Content-Length", "0"}});
                case Head::ErrorPage:
                    return connection->respond(403, "<html>Forbidden by the firewall</html>");
                case Head::Refused:
                    return connection->respond(503, "away");
                }
            }
            const bool get = connection->method() == "GET";
            const bool range = !connection->header("Range").isEmpty();
            if (get) {
                ++gets;
                cacheControl << connection->header("Cache-Control");
                if ((gets > 1 || server.held != Held::Nothing)
                    && server.trouble != Trouble::RedirectLoop)
                    seen << connection->header("Range") + " " + connection->header("If-Range");
                if (gets <= server.cuts.size())
                    connection->cutAfter(server.cuts.at(gets - 1), server.reset);
            }
            switch (server.trouble) {
            case Trouble::NotFound:
                return connection->respond(404, "not here");
            case Trouble::RedirectLoop:
                return connection->respond(302, "", {{"Location", self}});
            case Trouble::RedirectToFile:
                return connection->respond(302, "", {{"Location", "file:///etc/x"}});
            case Trouble::Stalls:
                if (gets == 1)
                    return slowly(connection, zip.size() - 20, 8, 1, 400);
                break;
            case Trouble::Restarted:
                if (gets == 1)
                    return slowly(connection, 0, zip.size() / 2, 16384, 20);
                break;
            case Trouble::FolderInPlace:
                if (get)
                    return; // never answered
                break;
            case Trouble::AnotherFileFirst: {
                const bool original = get ? gets == 1 : gets == 0;
                return connection->respondFile(original ? LauncherRun::noise(zip.size(), "v1")
                                                        : zip,
                                               original ? etag : "\"v2\"");
            }
            default:
                break;
            }
            if (range && server.ranged == Ranged::Whole)
                return connection->respond(200, zip,
                                           {{"ETag", server.tag}, {"Accept-Ranges", "bytes"}});
            if (range && server.ranged == Ranged::Refused)
                return connection->respond(416, {}, {{"Content-Range", "bytes */" + size}});
            if (range && server.ranged == Ranged::FromZero)
                return connection->respond(206, zip,
                                           {{"Content-Range",
                                             "bytes 0-" + QByteArray::number(zip.size() - 1) + "/"
                                                 + size}});
            connection->respondFile(zip, server.tag);
        });
        run.start();
        if (server.trouble == Trouble::Restarted
            || server.trouble == Trouble::RestartedWhileWaiting) {
            QTRY_VERIFY(run.log.contains(server.trouble == Trouble::RestartedWhileWaiting
                                             ? "Retrying download..."
                                             : "Downloaded",
                                         true));
            run.window.reset(); // the archive file and the GET go with the window
            seen.clear();
            asked.replaceInStrings("held", QString::number(QFileInfo("client.zip").size()));
            run.start();
        }
        QTRY_COMPARE_WITH_TIMEOUT(run.log.missingInOrder(lines, true), QString(), 15000);
        QTRY_COMPARE(run.state("client", commitId), state);
        QCOMPARE(seen.size(), asked.size());
        for (qsizetype i = 0; i < seen.size(); ++i)
            QVERIFY2(seen.at(i).startsWith(asked.at(i)), qPrintable(seen.at(i)));
        QCOMPARE(run.log.count("Retrying download..."), retries);
        QVERIFY(cacheControl.isEmpty() || cacheControl == QSet<QByteArray>{"no-cache"});
        QTRY_VERIFY(run.window->findChildren<QNetworkReply *>().isEmpty());
        if (state == "installed")
            QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
        if (server.trouble == Trouble::NotFound) // an error page is no part of the archive
            QCOMPARE(LauncherRun::readAll("client.zip"), QByteArray());
        const QLabel *line = run.window->findChild<QLabel *>(statusLineName);
        QVERIFY2(line->text().remove(QChar(0x200B)).startsWith(status), qPrintable(line->text()));
    }

    // A body that ends short without an error from Qt is a cut like any other.
    void shortBodyWithoutError()
    {
        LauncherRun run; // a clean working folder, and the log
        ShortNetwork network;
        auto *transfer = new ArchiveTransfer(&network, QUrl("http://127.0.0.1:9/client.zip"),
                                             "client.zip", commitId, &network);
        QSignalSpy ended(transfer, &ArchiveTransfer::finished);
        transfer->start();
        QVERIFY(ended.wait());
        QVERIFY(ended.first().first().value<TransferOutcome>().retried);
        QTRY_VERIFY(run.log.contains("Failed to download ZIP:  \"Connection closed\""));
        QCOMPARE(run.log.missingInOrder({"Download error: QNetworkReply::RemoteHostClosedError",
                                         "Retrying download..."},
                                        true),
                 QString());
    }

    // A server that drops every GET: retried after 2 s, the reason and the attempt shown, then
    // spaced out with Retry offered, which tries at once; an up-to-date answer to Retry ends
    // the pending update.
    void retriesSpacedOutThenUpToDate()
    {
        LauncherRun run;
        run.serveRepo("client", commitId);
        run.server.route(LauncherRun::archivePath("client"), [](HttpConnection *connection) {
            connection->cutAfter(0);
            connection->respond(200, "never sent");
        });
        run.start();
        QTRY_COMPARE_WITH_TIMEOUT(run.log.count("Retrying download..."), 1, 10000);
        const auto *line = run.window->findChild<QLabel *>(statusLineName);
        auto *retry = run.window->findChild<QToolButton *>(retryButtonName);
        QTRY_VERIFY(line->text().startsWith("Download failed (connection lost). Trying again "
                                            "(attempt 2)"));
        QVERIFY(retry->isHidden());
        QTRY_COMPARE_WITH_TIMEOUT(run.log.count("Retrying download..."), 3, 15000);
        QTRY_VERIFY(line->text().contains("(attempt 4)"));
        QVERIFY(retry->isVisible());
        // The fourth attempt waits twice as long: Retry does not.
        QVERIFY(LauncherRun::writeFile("client_hash.txt", id));
        const int checks = run.server.requestCount("GET", LauncherRun::commitsPath("client"));
        retry->click();
        QTRY_COMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("client")),
                     checks + 1);
        // Nothing was installed here: the recorded commit stands for the files.
        QTRY_COMPARE(run.state("client", commitId),
                     QString("hash recorded, archive gone, bar hidden, buttons on, data differs"));
        QVERIFY(retry->isHidden() && line->isHidden());
        QCOMPARE(run.log.count("Retrying download..."), 3);
    }

    // An update that could not be put back leaves files of two versions: the buttons stay off
    // for the run, and the column says that the next start repairs it.
    void unrestoredUpdateHoldsTheButtons()
    {
        LauncherRun run;
        run.serveRepo("client", commitId);
        StagedInstall::replaceHook = [](const QString &target) {
            return !target.endsWith("data.bin");
        };
        StagedInstall::restoreHook = [](const QString &) { return false; };
        run.start();
        QTRY_VERIFY(run.log.contains("Failed to restore the earlier version:", true));
        StagedInstall::replaceHook = {};
        StagedInstall::restoreHook = {};
        QCOMPARE(run.state("client", commitId), QString("pending"));
        QVERIFY(
            run.window->findChild<QLabel *>(statusLineName)
                ->text()
                .contains("could not be put back. The game will be repaired at the next start."));
    }

    // Files the next version drops go when they are as installed, and a start that finds an
    // installed file missing downloads the repository again; intact files ask for nothing.
    // Names that are one file on Windows: the first entry alone is synchronised.
    void sameNameTwice()
    {
        LauncherRun run;
        run.serveRepo("client", commitId);
        run.serveRepo("Client", commitId);
        run.start();
        QTRY_COMPARE(run.state("client", commitId), QString("installed"));
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("Client")), 0);
        const QList<QLabel *> lines = run.window->findChildren<QLabel *>(statusLineName);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0)->isHidden());
        QVERIFY(lines.at(1)->text().startsWith("Not updated: a repository of the same name"));
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

    // What an answer to the archive's GET means, on its status and headers alone: asked to
    // continue at 500 of 1000 with If-Range "v1" (offset 500), or for the whole (offset 0).
    void answerMeaning_data()
    {
        using M = TransferProtocol::Meaning;
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("range"); // Content-Range
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<QByteArray>("coding");
        QTest::addColumn<M>("meaning");
        const auto row = [](const char *name, qint64 offset, int status, const char *range,
                            qint64 length, const char *etag, const char *coding, M meaning) {
            QTest::newRow(name) << offset << status << QByteArray(range) << length
                                << QByteArray(etag) << QByteArray(coding) << meaning;
        };
        const char *rest = "bytes 500-999/1000";
        const char *v1 = "\"v1\"";
        row("whole GET, 200", 0, 200, "", 1000, v1, "", M::Whole);
        row("whole GET, 404", 0, 404, "", 9, "", "", M::ErrorPage);
        row("no status yet", 500, 0, "", -1, "", "", M::Wait);
        row("redirection", 500, 302, "", 0, "", "", M::Wait);
        row("the rest", 500, 206, rest, 500, v1, "", M::Append);
        row("the rest, no validator or length", 500, 206, rest, -1, "", "", M::Append);
        row("the rest, identity coding", 500, 206, rest, 500, v1, "identity", M::Append);
        row("the rest, gzip coded", 500, 206, rest, 500, v1, "gzip", M::RestartNow);
        row("another validator", 500, 206, rest, 500, "\"v2\"", "", M::RestartNow);
        row("from another offset", 500, 206, "bytes 400-999/1000", 600, v1, "", M::RestartNow);
        row("not to the end", 500, 206, "bytes 500-899/1000", 400, v1, "", M::RestartNow);
        row("another total", 500, 206, "bytes 500-1999/2000", 1500, v1, "", M::RestartNow);
        row("length disagrees", 500, 206, rest, 499, v1, "", M::RestartNow);
        row("no Content-Range", 500, 206, "", 500, v1, "", M::RestartNow);
        row("ranges ignored", 500, 200, "", 1000, v1, "", M::Whole);
        row("416", 500, 416, "bytes */1000", 0, "", "", M::RestartAtEnd);
        row("error page", 500, 503, "", 20, "", "", M::ErrorPage);
    }

    void answerMeaning()
    {
        QFETCH(qint64, offset);
        QFETCH(int, status);
        QFETCH(QByteArray, range);
        QFETCH(qint64, length);
        QFETCH(QByteArray, etag);
        QFETCH(QByteArray, coding);
        QFETCH(TransferProtocol::Meaning, meaning);
        const TransferProtocol::Answer answer{status, length,
                                              range,  TransferProtocol::validatorOf(etag, {}),
                                              coding, {},
                                              {}};
        QCOMPARE(TransferProtocol::meaning(answer, offset, offset ? 1000 : -1, "\"v1\""), meaning);
    }

    // Where a download starts, from what an earlier attempt left (500 or all of 1000 bytes,
    // downloaded from address u for commit c under "v1") and what the HEAD said.
    void startDecision_data()
    {
        using S = TransferProtocol::Start;
        QTest::addColumn<qint64>("held"); // 0: nothing held
        QTest::addColumn<QString>("heldFor");
        QTest::addColumn<int>("headStatus"); // 0: the HEAD failed
        QTest::addColumn<qint64>("headLength");
        QTest::addColumn<QByteArray>("headEtag");
        QTest::addColumn<S::Kind>("kind");
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("total");
        const auto row = [](const char *name, qint64 held, const char *heldFor, int headStatus,
                            qint64 headLength, const char *headEtag, S::Kind kind, qint64 from,
                            qint64 total) {
            QTest::newRow(name) << held << QString(heldFor) << headStatus << headLength
                                << QByteArray(headEtag) << kind << from << total;
        };
        const char *v1 = "\"v1\"";
        row("nothing held", 0, "u c", 200, 1000, v1, S::Fresh, 0, 1000);
        row("nothing held, HEAD failed", 0, "u c", 0, -1, "", S::Fresh, 0, -1);
        row("HEAD error page", 0, "u c", 403, 49, "", S::Fresh, 0, -1);
        row("part, same file", 500, "u c", 200, 1000, v1, S::Continue, 500, 1000);
        row("part, HEAD without validator", 500, "u c", 200, 1000, "", S::Continue, 500, 1000);
        row("part, file changed", 500, "u c", 200, 1000, "\"v2\"", S::Fresh, 0, 1000);
        row("part, length changed", 500, "u c", 200, 1200, v1, S::Fresh, 0, 1200);
        row("part, HEAD failed", 500, "u c", 0, -1, "", S::Continue, 500, 1000);
        row("part, HEAD error page", 500, "u c", 503, 20, "", S::Continue, 500, 1000);
        row("part, another address", 500, "v c", 200, 1000, v1, S::Fresh, 0, 1000);
        row("part, another commit", 500, "u d", 200, 1000, v1, S::Fresh, 0, 1000);
        row("whole, same file", 1000, "u c", 200, 1000, v1, S::Complete, 1000, 1000);
        row("whole, HEAD without validator", 1000, "u c", 200, 1000, "", S::Fresh, 0, 1000);
        row("whole, another commit", 1000, "u d", 200, 1000, v1, S::Fresh, 0, 1000);
        row("whole, HEAD failed: last byte asked", 1000, "u c", 0, -1, "", S::Continue, 999, 1000);
        row("more than the length", 1001, "u c", 200, 1000, v1, S::Fresh, 0, 1000);
    }

    void startDecision()
    {
        QFETCH(qint64, held);
        QFETCH(QString, heldFor);
        QFETCH(TransferProtocol::Start::Kind, kind);
        QFETCH(qint64, from);
        QFETCH(qint64, total);
        QFETCH(int, headStatus);
        QFETCH(qint64, headLength);
        QFETCH(QByteArray, headEtag);
        const TransferProtocol::Answer head{headStatus, headLength, {}, headEtag, {}, {}, {}};
        std::optional<TransferProtocol::Held> record;
        if (held > 0)
            record = {held, 1000, heldFor.section(' ', 0, 0), heldFor.section(' ', 1), etag};
        const TransferProtocol::Start start = TransferProtocol::start(record, "u", "c", head);
        QCOMPARE(start.kind, kind);
        QCOMPARE(start.from, from);
        QCOMPARE(start.total, total);
        QCOMPARE(start.validator, kind == TransferProtocol::Start::Fresh ? QByteArray() : etag);
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
