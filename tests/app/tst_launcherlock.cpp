#include "app/launcherlock.h"

#include "boxcatcher.h"
#include "logcollector.h"
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
    void init();
    void secondStartIsRefused();
    void staleLock_data();
    void staleLock();
    void refusalIsToldOnce();

private:
    QString m_folder;
};

namespace {

// The pid of a process that has ended.
qint64 deadPid()
{
    QProcess process;
    process.start("true", {});
    if (!process.waitForStarted())
        return 0;
    const qint64 pid = process.processId();
    return process.waitForFinished() ? pid : 0;
}

} // namespace

void TestLauncherLock::init()
{
    m_folder = TestEnvironment::installRoot();
    QDir(m_folder).removeRecursively();
}

void TestLauncherLock::secondStartIsRefused()
{
    auto first = takeLauncherLock(m_folder);
    QVERIFY(first);
    QVERIFY(QFile::exists(m_folder + "/launcher.lock"));
    QVERIFY(!takeLauncherLock(m_folder));
    // The first launcher's end frees the folder for the next.
    first.reset();
    QVERIFY(takeLauncherLock(m_folder));
}

void TestLauncherLock::staleLock_data()
{
    QTest::addColumn<bool>("ownerAlive");
    QTest::newRow("left by a dead launcher") << false;
    QTest::newRow("held by a living one") << true;
}

void TestLauncherLock::staleLock()
{
    QFETCH(bool, ownerAlive);
    // The lock file as a launcher that was killed leaves it: pid, program name, host.
    const qint64 pid = ownerAlive ? QCoreApplication::applicationPid() : deadPid();
    QVERIFY(pid > 0);
    QVERIFY(QDir().mkpath(m_folder));
    QFile file(m_folder + "/launcher.lock");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::number(pid) + "\n" + QCoreApplication::applicationName().toUtf8()
               + "\n\n");
    file.close();

    const auto lock = takeLauncherLock(m_folder);
    QCOMPARE(bool(lock), !ownerAlive);
    if (lock) {
        qint64 owner = 0;
        QVERIFY(lock->getLockInfo(&owner, nullptr, nullptr));
        QCOMPARE(owner, QCoreApplication::applicationPid());
    }
}

void TestLauncherLock::refusalIsToldOnce()
{
    LogCollector log;
    BoxCatcher boxes;
    reportLauncherRunning();
    QCOMPARE(log.lines(), QStringList{"Another launcher is already running."});
    QCOMPARE(boxes.count(), 1);
    const BoxCatcher::Box box = boxes.boxes().first();
    QCOMPARE(box.title, QString("Veltro"));
    QCOMPARE(box.text, QString("The launcher is already running."));
    QCOMPARE(box.icon, QMessageBox::Information);
    QVERIFY(!box.hasParent);
}

VELTRO_TEST_MAIN(TestLauncherLock)
#include "tst_launcherlock.moc"
