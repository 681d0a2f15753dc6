#include "app/mainwindow.h"
#include "sync/transfertimeout.h"

#include "logcollector.h"
#include "syncfixture.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

using namespace SyncFixture;

// The commit check: what the GitLab reply and the hash file decide, and what a failed request
// or an unsafe repository name leads to.
class TestCommitCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void outcome_data();
    void outcome();
    void failedRequest_data();
    void failedRequest();
    void unsafeNameRefused_data();
    void unsafeNameRefused();

};

void TestCommitCheck::initTestCase()
{
    TransferTimeout::setIdleMs(10000);
}

void TestCommitCheck::init()
{
    resetFolders();
}

namespace {
const QString commitId = QStringLiteral("6f1c2b7e9d0a4c3b8e5f7a1d2c4b6e8f0a1b3c5d");
const QByteArray noHashFile = "<none>";
const QByteArray hashIsFolder = "<folder>";
} // namespace

void TestCommitCheck::outcome_data()
{
    QTest::addColumn<QByteArray>("commits");
    QTest::addColumn<QByteArray>("hashFile");
    QTest::addColumn<QString>("latestLine"); // empty: the reply names no latest commit
    QTest::addColumn<QString>("decision");

    const QByteArray latest = commitId.toUtf8();
    const QString latestLine = QString("Latest commit hash from GitLab:  \"%1\"").arg(commitId);
    const QString upToDate = "Repository is up-to-date. No need to download.";
    const QString download = "Hash is different. Downloading ZIP...";
    const QString none = "No commits found for the repository.";

    QTest::newRow("empty array") << QByteArray("[]") << latest << QString() << none;
    QTest::newRow("object body") << QByteArray(R"({"id": "abc"})") << noHashFile << QString()
                                 << none;
    QTest::newRow("not JSON") << QByteArray("<html>") << noHashFile << QString() << none;
    QTest::newRow("same id") << commitsBody(commitId) << latest << latestLine << upToDate;
    QTest::newRow("CRLF and a second line")
        << commitsBody(commitId) << latest + "\r\nsecond line\r\n" << latestLine << upToDate;
    QTest::newRow("LF") << commitsBody(commitId) << latest + "\n" << latestLine << upToDate;
    QTest::newRow("byte-order mark") << commitsBody(commitId) << "\xEF\xBB\xBF" + latest
                                     << latestLine << upToDate;
    QTest::newRow("trailing blank") << commitsBody(commitId) << latest + " " << latestLine
                                    << download;
    QTest::newRow("other letter case")
        << commitsBody(commitId) << latest.toUpper() << latestLine << download;
    QTest::newRow("no hash file") << commitsBody(commitId) << noHashFile << latestLine << download;
    QTest::newRow("empty hash file") << commitsBody(commitId) << QByteArray() << latestLine
                                     << download;
    QTest::newRow("hash file is a folder")
        << commitsBody(commitId) << hashIsFolder << latestLine << download;
    const QString emptyLine = "Latest commit hash from GitLab:  \"\"";
    QTest::newRow("no id, no hash file")
        << QByteArray(R"([{"title": "x"}])") << noHashFile << emptyLine << upToDate;
    QTest::newRow("numeric id, no hash file")
        << QByteArray(R"([{"id": 42}])") << noHashFile << emptyLine << upToDate;
    QTest::newRow("no id, hash file") << QByteArray(R"([{"title": "x"}])") << latest << emptyLine
                                      << download;
    QTest::newRow("first element not an object")
        << QByteArray(R"(["abc", {"id": "abc"}])") << noHashFile << emptyLine << upToDate;
}

void TestCommitCheck::outcome()
{
    QFETCH(QByteArray, commits);
    QFETCH(QByteArray, hashFile);
    QFETCH(QString, latestLine);
    QFETCH(QString, decision);

    if (hashFile == hashIsFolder)
        QVERIFY(QDir().mkpath("client_hash.txt"));
    else if (hashFile != noHashFile)
        QVERIFY(writeAll("client_hash.txt", hashFile));

    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commits);
    server.serve(archivePath("client"), "gone", 404);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains(decision));

    QStringList expected{"Fetching latest commit hash from GitLab for repository:  \"client\""};
    if (!latestLine.isEmpty())
        expected << latestLine;
    expected << decision;
    QVERIFY2(log.containsInOrder(expected), qPrintable(log.lines().join('\n')));

    // Each outcome has its own continuation, and only that one.
    const QString enabled
        = "Todos os botões foram ativados, todas as atualizações estão completas!";
    if (decision == "Repository is up-to-date. No need to download.") {
        QCOMPARE(log.indexOf(enabled), log.indexOf(decision) + 1);
        QVERIFY(buttonsEnabled(window, true));
        QVERIFY(!window.findChild<QProgressBar *>("client")->isVisible());
    } else if (decision == "Hash is different. Downloading ZIP...") {
        QTRY_COMPARE(server.requestCount("HEAD", archivePath("client")), 1);
        QTRY_VERIFY(log.contains("Failed to download ZIP: ", true));
    } else {
        QVERIFY(!log.contains(enabled));
        QCOMPARE(server.requestCount("HEAD", archivePath("client")), 0);
        QVERIFY(buttonsEnabled(window, false));
    }
}

void TestCommitCheck::failedRequest_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("errorText"); // what the quoted error text begins with
    QTest::addColumn<int>("status");

    QTest::newRow("404") << "404" << "Error transferring" << 404;
    QTest::newRow("500") << "500" << "Error transferring" << 500;
    QTest::newRow("stall") << "stall" << "No data received for too long" << 0;
    QTest::newRow("refused") << "refused" << "Connection refused" << 0;
}

void TestCommitCheck::failedRequest()
{
    QFETCH(QString, answer);
    QFETCH(QString, errorText);
    QFETCH(int, status);

    TestHttpServer server;
    QVERIFY(server.start());
    QJsonObject entry = repoEntry(server, "client");
    if (answer == "refused") {
        // A port that was just free and is closed again.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        entry["api"] = QString("http://127.0.0.1:%1/commits").arg(probe.serverPort());
    }
    // A short idle limit for the commit request alone: set as the manifest is answered, and
    // put back once the commit request has come.
    const QByteArray manifest = manifestBody({entry});
    server.route("/kiv/updater.json", [answer, manifest](HttpConnection *connection) {
        if (answer == "stall")
            TransferTimeout::setIdleMs(300);
        connection->respond(200, manifest);
    });
    server.route(commitsPath("client"), [answer](HttpConnection *connection) {
        TransferTimeout::setIdleMs(10000);
        if (answer != "stall")
            connection->respond(answer.toInt(), R"({"message": "404 Project Not Found"})");
    });

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    const QString failure = "Failed to fetch commit hash from GitLab:  ";
    QTRY_VERIFY(log.contains(failure, true));

    const QString line = log.lines().at(log.indexOf(failure, true));
    QVERIFY2(line.startsWith(failure + "\"" + errorText), qPrintable(line));
    QVERIFY2(line.endsWith(QString("\" HTTP Status Code:  %1").arg(status)), qPrintable(line));
    // Nothing follows for this repository: no download, no gating.
    QCOMPARE(log.indexOf(failure, true), log.lines().size() - 1);
    QCOMPARE(server.requestCount("HEAD", archivePath("client")), 0);
    QVERIFY(!window.findChild<QProgressBar *>("client")->isVisible());
    QVERIFY(buttonsEnabled(window, false));
}

void TestCommitCheck::unsafeNameRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent folder") << "../escape";
    QTest::newRow("parent alone") << "..";
    QTest::newRow("sub-folder") << "sub/client";
    QTest::newRow("absolute") << "/tmp/client";
    QTest::newRow("backslash") << "..\\escape";
    // Names Windows refuses for files are refused everywhere.
    QTest::newRow("colon") << "client:stream";
    QTest::newRow("device") << "nul";
    QTest::newRow("device, extension") << "Com1.tar";
    QTest::newRow("trailing dot") << "client.";
    QTest::newRow("trailing blank") << "client ";
    QTest::newRow("forbidden character") << "client?";
}

void TestCommitCheck::unsafeNameRefused()
{
    QFETCH(QString, name);

    // A safe repository next to it goes on as usual.
    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, name, "unsafe"), repoEntry(server, "client")});
    server.serve(commitsPath("unsafe"), commitsBody(commitId));
    server.serve(archivePath("unsafe"), ZipBuilder().addFile("x/a.txt", "a").bytes());
    server.serve(commitsPath("client"), commitsBody(commitId));
    QVERIFY(writeAll("client_hash.txt", commitId.toUtf8()));

    const QStringList before = QDir(QDir::currentPath() + "/..").entryList(QDir::AllEntries);

    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Repository is up-to-date. No need to download."));

    const QString refusal = "Refusing to synchronise repository with an unsafe name:";
    QCOMPARE(log.count(refusal, true), 1);
    QCOMPARE(log.lines().at(log.indexOf(refusal, true)),
             refusal + " \"" + QString(name).replace("\\", "\\\\") + "\"");
    QVERIFY(!log.contains("Fetching latest commit hash from GitLab for repository:  \"" + name
                          + "\""));
    QCOMPARE(server.requestCount("GET", commitsPath("unsafe")), 0);
    QCOMPARE(server.requestCount("HEAD", archivePath("unsafe")), 0);

    // The column is there, its bar hidden; the other repository enabled every button.
    QProgressBar *bar = window.findChild<QProgressBar *>(name);
    QVERIFY(bar);
    QVERIFY(!bar->isVisible());
    QVERIFY(buttonsEnabled(window, true));
    QCOMPARE(QDir(QDir::currentPath() + "/..").entryList(QDir::AllEntries), before);
    QCOMPARE(QDir::current().entryList(QDir::Files), QStringList{"client_hash.txt"});
}

VELTRO_TEST_MAIN(TestCommitCheck)
#include "tst_commitcheck.moc"
