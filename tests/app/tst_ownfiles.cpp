#include "app/launcherlock.h"
#include "app/logfile.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// The launcher's own files at the top of its folder: the one-launcher lock and the log.
class TestOwnFiles : public QObject
{
    Q_OBJECT

private slots:
    void lock_data()
    {
        QTest::addColumn<QString>("owner");  // whose id the lock names, or what stands in the way
        QTest::addColumn<QString>("result"); // "taken", "running" or "unusable"
        QTest::newRow("left by a dead launcher") << "dead"
                                                 << "taken";
        QTest::newRow("held by a living one") << "living"
                                              << "running";
        QTest::newRow("names this very process") << "self"
                                                 << "taken";
        QTest::newRow("a file where the folder goes") << "file"
                                                      << "unusable";
    }

    void lock()
    {
        QFETCH(QString, owner);
        QFETCH(QString, result);
        QDir(LauncherRun::installRoot()).removeRecursively();
        QString folder = LauncherRun::installRoot();
        QProcess other; // a dead process, or a living one whose name the lock gives
        other.start("sleep", {owner == "living" ? "30" : "0"});
        QVERIFY(other.waitForStarted());
        const qint64 pid = owner == "self" ? QCoreApplication::applicationPid() : other.processId();
        if (owner == "dead")
            QVERIFY(other.waitForFinished());
        const QByteArray name = owner == "self" ? QCoreApplication::applicationName().toUtf8()
                                                : QByteArray("sleep");
        // The lock file as a launcher leaves it: pid, program name, host.
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(LauncherRun::writeFile(folder + "/launcher.lock",
                                       QByteArray::number(pid) + "\n" + name + "\n\n"));
        if (owner == "file")
            QVERIFY(LauncherRun::writeFile(folder += "/game", "not a folder"));

        QString problem;
        const bool taken = bool(takeLauncherLock(folder, &problem));
        other.kill();
        other.waitForFinished();
        QCOMPARE(taken ? "taken" : problem.isEmpty() ? "running" : "unusable", result);

        LogCollector log;
        BoxCatcher boxes;
        if (result == "running")
            reportLauncherRunning();
        else if (result == "unusable")
            reportFolderUnusable(folder, problem);
        QCOMPARE(boxes.count(), taken ? 0 : 1);
        if (taken)
            return;
        QCOMPARE(boxes.boxes().first().title, QString("Veltro"));
        QCOMPARE(boxes.boxes().first().text, result == "running"
                                                 ? "The launcher is already running."
                                                 : "The launcher cannot use its folder "
                                                       + QDir::toNativeSeparators(folder) + ": "
                                                       + problem + ".");
        QCOMPARE(log.lines(),
                 QStringList{result == "running" ? "Another launcher is already running."
                                                 : "The launcher cannot use its folder: \"" + folder
                                                       + "\" \"" + problem + "\""});
    }

    void logFileKeepsLinesInOrderAndOneOlderRun()
    {
        const QString folder = QDir::currentPath();
        LauncherRun::writeFile(folder + "/launcher.1.log", "two runs ago\n");
        LauncherRun::writeFile(folder + "/launcher.log", "last run\n");
        LogCollector stream; // installed first: the file's handler chains to it
        {
            LogFile file(folder);
            qDebug() << "first" << 1;
            qDebug() << "Baixando" << QString("ção");
        }
        qDebug() << "after the file";
        QCOMPARE(stream.lines(), (QStringList{"first 1", "Baixando \"ção\"", "after the file"}));
        QCOMPARE(LauncherRun::readAll(folder + "/launcher.1.log"), QByteArray("last run\n"));
        const QStringList lines =
            QString::fromUtf8(LauncherRun::readAll(folder + "/launcher.log")).split('\n');
        QCOMPARE(lines.size(), 3);
        // Local time with milliseconds, then the line as the stream has it.
        const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
        QCOMPARE(QString(lines.at(0)).remove(stamp), QString("first 1"));
        QCOMPARE(QString(lines.at(1)).remove(stamp), QString("Baixando \"ção\""));
        QCOMPARE(lines.at(2), QString());
    }

    void logFileStopsAtItsCap()
    {
        {
            LogFile file(QDir::currentPath(), 200);
            for (int i = 0; i < 20; ++i)
                qDebug() << "line" << i;
        }
        const QByteArray text = LauncherRun::readAll("launcher.log");
        QVERIFY2(text.size() < 300 && text.contains("line 0\n") && !text.contains("line 19"), text);
        QVERIFY2(text.endsWith(" KiB written: the log file ends here for this run.\n"), text);
    }

    void unwritableLogFileIsIgnored()
    {
        LogCollector stream;
        {
            LogFile file("no such folder");
            qDebug() << "still logged";
        }
        QCOMPARE(stream.lines(), QStringList{"still logged"});
        QVERIFY(!QFile::exists("no such folder"));
    }
};

VELTRO_TEST_MAIN(TestOwnFiles)
#include "tst_ownfiles.moc"
