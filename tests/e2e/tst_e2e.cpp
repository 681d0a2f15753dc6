// The built program, run as a user runs it, against the test's HTTPS server at the address and
// with the certificate authority compiled into it: the proof that main wires both. The update
// cycle itself is the library-level test's.
#include "extract/stagedinstall.h"
#include "extract/zipextractor.h"
#include "launch/gating.h"

#include "launcherrun.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void programInstallsAndEnablesButtons()
    {
        if (TestEnvironment::underWine())
            QSKIP("Under Wine the in-process server's TLS handshakes never complete");
        const QString id = "3f786850e387550fdab836ed7e6dc881de23001b";
        LauncherRun run;
        run.server.close();
        QVERIFY(run.server.start(true, VELTRO_E2E_PORT));
        run.serveRepo("client", id);
        run.server.serve("/kiv/updater.json", QJsonDocument(QJsonObject{{"updater_version", "0.2"},
                                                                        {"repos", run.repos}})
                                                  .toJson());

        QProcess launcher;
        QByteArray output;
        startUntilDone(launcher, output);
        const QByteArray enabled = allUpdatesDoneLine;
        // A second start while the first runs says so (its box waits) and asks for nothing.
        QProcess second;
        second.start(VELTRO_E2E_LAUNCHER, {});
        QByteArray secondOutput;
        QTRY_VERIFY_WITH_TIMEOUT((secondOutput += second.readAllStandardError())
                                     .contains("Another launcher is already running."),
                                 30000);
        second.kill();
        second.waitForFinished();
        QCOMPARE(run.server.requestCount("GET", "/kiv/updater.json"), 1);
        launcher.kill(); // the launcher never ends by itself
        launcher.waitForFinished();
        QVERIFY2(output.contains(enabled), output.constData());
        QCOMPARE(LauncherRun::readAll("client_hash.txt"), id.toUtf8());
        const QString root = qEnvironmentVariable("XDG_DATA_HOME") + "/VeltroLauncher/";
        QCOMPARE(LauncherRun::readAll(root + "client/data.bin"),
                 LauncherRun::noise(64 * 1024, "client"));
        // The log file of the first launcher, which the second one left alone.
        QVERIFY(LauncherRun::readAll(root + "launcher.log").contains(enabled));
    }

    // A launcher killed while it moved an update's files into place: the next start puts the
    // earlier version back, whole and with its commit, before the repository is checked.
    void startPutsBackAnInterruptedInstall()
    {
        if (TestEnvironment::underWine())
            QSKIP("Under Wine the in-process server's TLS handshakes never complete");
        LauncherRun run;
        run.server.close();
        QVERIFY(run.server.start(true, VELTRO_E2E_PORT));
        const QString root = qEnvironmentVariable("XDG_DATA_HOME") + "/VeltroLauncher";
        const QString hash = QDir::current().absoluteFilePath("client_hash.txt");
        ZipBuilder v1, v2;
        for (const QByteArray name : {"client/a", "client/b", "client/c"}) {
            v1.addFile(name, "one");
            v2.addFile(name, "two");
        }
        QVERIFY(v1.write("v1.zip") && v2.write("v2.zip"));
        QVERIFY(ZipExtractor::extractInto("v1.zip", root, {hash, "c1"}).ok());
        int moves = 0;
        StagedInstall::stopHook = [&moves](const QString &step) {
            return step.startsWith("move") && ++moves == 2;
        };
        QVERIFY(!ZipExtractor::extractInto("v2.zip", root, {hash, "c2"}).ok());
        StagedInstall::stopHook = {};
        run.serveRepo("client", "c1");
        run.server.serve("/kiv/updater.json", QJsonDocument(QJsonObject{{"updater_version", "0.2"},
                                                                        {"repos", run.repos}})
                                                  .toJson());
        QProcess launcher;
        QByteArray output;
        startUntilDone(launcher, output);
        launcher.kill();
        launcher.waitForFinished();
        QVERIFY2(output.contains("Repository is up-to-date."), output.constData());
        for (const char *name : {"/client/a", "/client/b", "/client/c"})
            QCOMPARE(LauncherRun::readAll(root + name), QByteArray("one"));
        QCOMPARE(LauncherRun::readAll(hash), QByteArray("c1"));
        // Nothing of the install is left; an earlier row's index may be.
        QStringList left =
            QDir(root + "/.veltro-update").entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        left.removeAll("index");
        QCOMPARE(left, QStringList());
    }

private:
    // Starts the built program in the sandbox's environment (offscreen, HOME and XDG folders)
    // and working directory, and reads its log until every update is done or it ends.
    static void startUntilDone(QProcess &launcher, QByteArray &output)
    {
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
        launcher.start(VELTRO_E2E_LAUNCHER, {});
        QVERIFY(launcher.waitForStarted());
        QTRY_VERIFY2_WITH_TIMEOUT((output += launcher.readAllStandardError())
                                          .contains(allUpdatesDoneLine)
                                      || launcher.state() != QProcess::Running,
                                  output.constData(), 60000);
    }
};

VELTRO_TEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
