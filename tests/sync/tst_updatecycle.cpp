#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QtTest>

// The whole update cycle: manifest, panel, commit check, download, extraction, recorded commit,
// enabled buttons, started programs; and the next start, up to date.
class TestUpdateCycle : public QObject
{
    Q_OBJECT

private slots:
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
        QCOMPARE(run.state("moor", id), QString("installed"));
        QCOMPARE(run.server.requestCount("HEAD", LauncherRun::archivePath("client")), 1);
        QCOMPARE(run.server.requestCount("GET", LauncherRun::archivePath("client")), 1);
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("client")), 2);
    }

    void failedExtractionIsRepairedNextStart()
    {
        const QString id = "6f1c2b7e9d0a4c3b8e5f7a1d2c4b6e8f0a1b3c5d";
        LauncherRun run;
        // A recorded older commit must survive an archive that does not extract.
        QVERIFY(LauncherRun::writeFile("client_hash.txt", "older"));
        run.serveRepo("client", id, LauncherRun::noise(50 * 1024, "not an archive"));
        run.start();
        QTRY_VERIFY(run.log.contains("ZIP file extraction failed."));
        QTRY_COMPARE(run.state("client", id),
                     QString("hash other, archive kept, bar hidden, buttons on"));

        run.server.serve(LauncherRun::archivePath("client"), LauncherRun::archive("client"));
        run.window.reset();
        run.start();
        QTRY_COMPARE(run.state("client", id), QString("installed"));
        QCOMPARE(run.server.requestCount("GET", LauncherRun::archivePath("client")), 2);
    }
};

VELTRO_TEST_MAIN(TestUpdateCycle)
#include "tst_updatecycle.moc"
