#include "app/launcherlock.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

// One launcher at a time: the lock in the install root, taken over from a dead owner, and what a
// second start tells the user.
class TestLauncherLock : public QObject
{
    Q_OBJECT

private slots:
    void secondStartIsRefusedUntilTheFirstEnds()
    {
        const QString folder = LauncherRun::installRoot();
        auto first = takeLauncherLock(folder);
        QVERIFY(first);
        QVERIFY(!takeLauncherLock(folder));
        first.reset();
        QVERIFY(takeLauncherLock(folder));

        LogCollector log;
        BoxCatcher boxes;
        reportLauncherRunning();
        QCOMPARE(log.lines(), QStringList{"Another launcher is already running."});
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Veltro"));
        QCOMPARE(boxes.boxes().first().text, QString("The launcher is already running."));
    }

    void staleLock_data()
    {
        QTest::addColumn<bool>("ownerAlive");
        QTest::newRow("left by a dead launcher") << false;
        QTest::newRow("held by a living one") << true;
    }

    void staleLock()
    {
        QFETCH(bool, ownerAlive);
        QProcess ended; // its pid names a process that is gone
        ended.start("true", {});
        QVERIFY(ended.waitForStarted());
        const qint64 deadPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        // The lock file as a launcher leaves it when it is killed: pid, program name, host.
        const QString folder = LauncherRun::installRoot();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(LauncherRun::writeFile(
            folder + "/launcher.lock",
            QByteArray::number(ownerAlive ? QCoreApplication::applicationPid() : deadPid) + "\n"
                + QCoreApplication::applicationName().toUtf8() + "\n\n"));
        QCOMPARE(bool(takeLauncherLock(folder)), !ownerAlive);
    }
};

VELTRO_TEST_MAIN(TestLauncherLock)
#include "tst_launcherlock.moc"
