#include "launch/columnstatus.h"
#include "manifest/repomanager.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QtTest>

// Starting a repository's program, and the words its column shows about its update.
class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void launch_data()
    {
        QTest::addColumn<QString>("program"); // recorder, plain (not executable), none, no folder
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("args");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const char *program, const char *folder,
                            const char *args, const QStringList &expected) {
            QTest::newRow(name) << QString(program) << QString(folder) << QString(args) << expected;
        };
        row("blanks around and between", "recorder", "game", "  --mode   fast  ",
            {"[--mode]", "[fast]"});
        row("blanks and accents in the folder", "recorder", "José Silva/My Game", " -w  1 ",
            {"[-w]", "[1]"});
        row("none", "recorder", "game", "", {});
        row("tab is no separator", "recorder", "game", "a\tb c", {"[a\tb]", "[c]"});
        row("quotes are no quoting", "recorder", "game", "\"two words\"", {"[\"two]", "[words\"]"});
        row("missing program", "none", "game", "a", {});
        row("not executable", "plain", "game", "a", {});
        row("missing working folder", "no folder", "game", "a", {});
    }

    void launch()
    {
        QFETCH(QString, program);
        QFETCH(QString, folder);
        QFETCH(QString, args);
        QFETCH(QStringList, expected);
#ifdef Q_OS_WIN
        if (program == "plain")
            QSKIP("Windows has no execute permission to withhold");
#endif
        folder = QDir::currentPath() + "/" + folder;
        QDir(folder).removeRecursively();
        QVERIFY(program == "no folder" || QDir().mkpath(folder));
        if (program == "recorder" || program == "plain")
            QVERIFY(LauncherRun::writeFile(folder + "/start.sh", LauncherRun::recorder()));
        if (program == "recorder")
            QVERIFY(
                QFile::setPermissions(folder + "/start.sh", QFile::ReadOwner | QFile::ExeOwner));

        RepoManager manager;
        BoxCatcher boxes;
        manager.launchExecutable("start.sh", args, folder);
        if (program != "recorder") {
            QCOMPARE(boxes.count(), 1); // shown and closed before the call returns
            QCOMPARE(boxes.boxes().first().title, QString("Execution Error"));
            QCOMPARE(boxes.boxes().first().text, QString("Failed to start the executable."));
            return;
        }
        QTRY_COMPARE(LauncherRun::launchRecord(folder),
                     QStringList{QDir(folder).canonicalPath()} + expected);
        QCOMPARE(boxes.count(), 0);
    }

    void failureText_data()
    {
        QTest::addColumn<UpdateFailure>("failure");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("text"); // before ". It will be tried again at the next start."
        const auto row = [](const char *name, UpdateFailure failure, const char *detail,
                            const char *text) {
            QTest::newRow(name) << failure << QString(detail) << QString(text);
        };
        row("GitLab answered 503", UpdateFailure::CommitCheck, "503",
            "Could not check for updates (HTTP 503)");
        row("GitLab not reached", UpdateFailure::CommitCheck, "",
            "Could not check for updates (server not reached)");
        row("no commits", UpdateFailure::NoCommits, "", "No version published yet");
        row("archive 404", UpdateFailure::Download, "server answered 404",
            "Download failed (server answered 404)");
        row("archive unwritable", UpdateFailure::ArchiveUnwritable, "C:\\Games: Access is denied",
            "Could not write the download to C:\\Games: Access is denied");
        row("entry unwritable", UpdateFailure::Extraction, "game/data.bin",
            "Update failed: game/data.bin could not be written");
        row("file in use", UpdateFailure::FileInUse, "game/game.exe",
            "Update failed: game/game.exe is in use; close the program");
        row("damaged archive", UpdateFailure::ArchiveDamaged, "game/data.bin",
            "Update failed: the downloaded archive is damaged (game/data.bin)");
        row("no space", UpdateFailure::NoSpace, "1.2 GB needed on C:\\Games, 312 MB free",
            "Not enough disk space: 1.2 GB needed on C:\\Games, 312 MB free");
        row("not put back", UpdateFailure::RestoreFailed, "game/game.exe",
            "Update failed: game/game.exe could not be put back. The game will be repaired at "
            "the next start");
    }

    void failureText()
    {
        QFETCH(UpdateFailure, failure);
        QFETCH(QString, detail);
        QFETCH(QString, text);
        QCOMPARE(::failureText(failure, detail),
                 text
                     + (failure == UpdateFailure::RestoreFailed
                            ? "."
                            : ". It will be tried again at the next start."));
    }

    void downloadText_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");        // 0: unknown
        QTest::addColumn<qint64>("attemptBytes"); // this attempt's
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("text");
        const qint64 MiB = 1024 * 1024;
        QTest::newRow("sizes, no estimate in the first seconds")
            << 312 * MiB << 1434 * MiB << 312 * MiB << 2999LL << "312 MB of 1.4 GB";
        QTest::newRow("minutes left, rounded up") << 312 * MiB << 1434 * MiB << 312 * MiB << 30000LL
                                                  << "312 MB of 1.4 GB \u00B7 2 min left";
        QTest::newRow("hours") << 10 * MiB << 1024 * MiB << 10 * MiB << 60000LL
                               << "10 MB of 1.0 GB \u00B7 1 h 42 min left";
        QTest::newRow("under a minute") << 900 * 1024LL << 1000 * 1024LL << 900 * 1024LL << 9000LL
                                        << "900 KB of 1000 KB \u00B7 less than a minute left";
        QTest::newRow("resumed: the bytes held do not count for the speed")
            << 707 * MiB << 1400 * MiB << 7 * MiB << 3600LL << "707 MB of 1.3 GB \u00B7 6 min left";
        QTest::newRow("nothing yet") << 0LL << 5 * MiB << 0LL << 60000LL << "0 bytes of 5.0 MB";
        QTest::newRow("all arrived")
            << 5 * MiB << 5 * MiB << 5 * MiB << 60000LL << "5.0 MB of 5.0 MB";
        QTest::newRow("size unknown") << 1536LL << 0LL << 1536LL << 60000LL << "1.5 KB downloaded";
    }

    void downloadText()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(qint64, attemptBytes);
        QFETCH(qint64, elapsedMs);
        QFETCH(QString, text);
        QCOMPARE(::downloadText(received, total, attemptBytes, elapsedMs), text);
    }

    // A delta update: thousands grouped on every machine, the sizes as a download's.
    void deltaText()
    {
        QCOMPARE(::deltaText(3, 2140, 2202010, 2516583),
                 QString("Updating 3 of 2,140 files \u00B7 2.1 MB of 2.4 MB"));
    }
};

VELTRO_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
