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
#include <QtTest>

#ifndef VELTRO_RECORD_LAUNCH_SCRIPT
#error "VELTRO_RECORD_LAUNCH_SCRIPT must name the recording test program"
#endif

using namespace SyncFixture;

// The whole update cycle against the local server: manifest, panel, commit check, download,
// extraction, recorded commit, enabled buttons, a started program; and the next start.
class TestUpdateCycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void fullCycle_data();
    void fullCycle();
    void failedExtractionIsRepairedNextStart();
    void unwritableHashFileDownloadsAgain();

private:
    static const QString commitId;
    static QByteArray gameArchive()
    {
        QFile script(VELTRO_RECORD_LAUNCH_SCRIPT);
        if (!script.open(QIODevice::ReadOnly))
            return {};
        const QByteArray recorder = script.readAll();
        return ZipBuilder()
            .addDirectory("client/")
            .addFile("client/bin/start.sh", recorder, 0100755)
            .addFile("client/bin/tool.sh", recorder, 0100755)
            .addFile("client/.gitattributes", "* text=auto\n")
            .addStoredFile("client/data/level.bin", noise(128 * 1024, 7))
            .bytes();
    }
    static QStringList record(const QString &folder)
    {
        return QString::fromUtf8(readAll(folder + "/launch-record.txt"))
            .split('\n', Qt::SkipEmptyParts);
    }
};

const QString TestUpdateCycle::commitId
    = QStringLiteral("3f786850e387550fdab836ed7e6dc881de23001b");

void TestUpdateCycle::initTestCase()
{
    TransferTimeout::setIdleMs(10000);
    TestHttpServer::trustTestAuthority();
}

void TestUpdateCycle::init()
{
    resetFolders();
}

void TestUpdateCycle::fullCycle_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void TestUpdateCycle::fullCycle()
{
    QFETCH(bool, tls);
    TestHttpServer server;
    QVERIFY(server.start(tls));
    const QByteArray zip = gameArchive();
    QVERIFY(!zip.isEmpty());
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commitsBody(commitId));
    server.serve(archivePath("client"), zip);
    const QString root = TestEnvironment::installRoot();
    const QString gameFolder = root + "/client";

    {
        LogCollector log;
        MainWindow window(manifestUrl(server));
        window.show();
        QTRY_VERIFY(log.contains("Arquivo ZIP removido com sucesso:  \"client.zip\""));
        QVERIFY2(log.containsInOrder(
                     {"Fetching latest commit hash from GitLab for repository:  \"client\"",
                      "Latest commit hash from GitLab:  \"" + commitId + "\"",
                      "Hash is different. Downloading ZIP...", "Todos os botões foram desativados!",
                      "File size detected: " + QString::number(zip.size()),
                      "Downloaded " + QString::number(zip.size()) + " bytes out of "
                          + QString::number(zip.size()),
                      "ZIP file downloaded successfully!", "\"client.zip\"",
                      "Extracting to AppData/Local at: \"" + root + "\"",
                      "Skipping file: \"client/.gitattributes\"", "ZIP extraction completed!",
                      "Extraction completed successfully!",
                      "Arquivo ZIP removido com sucesso:  \"client.zip\"",
                      "Todos os botões foram ativados, todas as atualizações estão completas!"}),
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
        QVERIFY(!QFile::exists("client.zip"));
        QCOMPARE(readAll(gameFolder + "/data/level.bin"), noise(128 * 1024, 7));
        auto *bar = window.findChild<QProgressBar *>("client");
        QVERIFY(!bar->isVisible());
        QCOMPARE(bar->value(), 100);
        QVERIFY(buttonsEnabled(window, true));

        // The extracted program runs from its folder with the manifest's arguments.
        window.findChildren<QPushButton *>().first()->click();
        QTRY_VERIFY(!record(gameFolder).isEmpty());
        QCOMPARE(record(gameFolder),
                 (QStringList{QDir(gameFolder).canonicalPath(), "[--mode]", "[fast]"}));
    }

    // The next start finds the recorded commit and asks for no archive.
    server.clearRequests();
    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(
        log.contains("Todos os botões foram ativados, todas as atualizações estão completas!"));
    QVERIFY(log.containsInOrder({"Latest commit hash from GitLab:  \"" + commitId + "\"",
                                 "Repository is up-to-date. No need to download."}));
    QCOMPARE(server.requestCount("GET", commitsPath("client")), 1);
    QCOMPARE(server.requestCount("HEAD", archivePath("client")), 0);
    QCOMPARE(server.requestCount("GET", archivePath("client")), 0);
    QVERIFY(!window.findChild<QProgressBar *>("client")->isVisible());
    QVERIFY(buttonsEnabled(window, true));
}

void TestUpdateCycle::failedExtractionIsRepairedNextStart()
{
    // A recorded older commit must survive an archive that does not extract.
    QVERIFY(writeAll("client_hash.txt", "older"));
    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commitsBody(commitId));
    server.serve(archivePath("client"), noise(50 * 1024, 3));

    {
        LogCollector log;
        MainWindow window(manifestUrl(server));
        window.show();
        QTRY_VERIFY(log.contains("ZIP file extraction failed."));
        QCOMPARE(log.lines().at(log.indexOf("ZIP file extraction failed.") + 1),
                 QString("Todos os botões foram ativados, todas as atualizações estão completas!"));
        QCOMPARE(readAll("client_hash.txt"), QByteArray("older"));
        QVERIFY(QFile::exists("client.zip")); // kept for a look
        QVERIFY(!window.findChild<QProgressBar *>("client")->isVisible());
        QVERIFY(buttonsEnabled(window, true));
    }

    // The next start tries again, and a sound archive now completes the install.
    server.serve(archivePath("client"), gameArchive());
    server.clearRequests();
    LogCollector log;
    MainWindow window(manifestUrl(server));
    window.show();
    QTRY_VERIFY(log.contains("Extraction completed successfully!"));
    QVERIFY(log.contains("Hash is different. Downloading ZIP..."));
    QCOMPARE(server.requestCount("GET", archivePath("client")), 1);
    QTRY_VERIFY(buttonsEnabled(window, true));
    QCOMPARE(readAll("client_hash.txt"), commitId.toUtf8());
}

void TestUpdateCycle::unwritableHashFileDownloadsAgain()
{
    QVERIFY(QDir().mkpath("client_hash.txt"));
    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), commitsBody(commitId));
    server.serve(archivePath("client"), gameArchive());

    for (int start = 1; start <= 2; ++start) {
        LogCollector log;
        MainWindow window(manifestUrl(server));
        window.show();
        QTRY_VERIFY(log.contains("Arquivo ZIP removido com sucesso:  \"client.zip\""));
        // Nothing is said about the hash file.
        QCOMPARE(
            log.lines().at(log.indexOf("Arquivo ZIP removido com sucesso:  \"client.zip\"") + 1),
            QString("Todos os botões foram ativados, todas as atualizações estão completas!"));
        QVERIFY(QFileInfo("client_hash.txt").isDir());
        QCOMPARE(server.requestCount("GET", archivePath("client")), start);
    }
}

VELTRO_TEST_MAIN(TestUpdateCycle)
#include "tst_updatecycle.moc"
