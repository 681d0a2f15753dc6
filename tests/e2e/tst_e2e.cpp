// The built program, run as a user runs it, against the test's HTTPS server at the address and
// with the certificate authority compiled into it: the proof that main wires both. The update
// cycle itself is the library-level test's.
#include "launch/gating.h"

#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
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
        // The sandbox's environment (offscreen, HOME and XDG folders) and working directory.
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
        launcher.start(VELTRO_E2E_LAUNCHER, {});
        QVERIFY(launcher.waitForStarted());
        QByteArray output;
        const QByteArray enabled = allUpdatesDoneLine;
        QTRY_VERIFY2_WITH_TIMEOUT((output += launcher.readAllStandardError()).contains(enabled)
                                      || launcher.state() != QProcess::Running,
                                  output.constData(), 60000);
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
};

VELTRO_TEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
