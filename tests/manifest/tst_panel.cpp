#include "launch/columnstatus.h"
#include "manifest/repomanager.h"

#include "boxcatcher.h"
#include "hostwindow.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

// The manifest's version gate and the panel built from it, with each column's status line.
class TestPanel : public QObject
{
    Q_OBJECT

private slots:
    void versionGate_data()
    {
        QTest::addColumn<QJsonValue>("version");   // Undefined: missing
        QTest::addColumn<QString>("shownVersion"); // null: accepted
        QTest::newRow("exact 0.2") << QJsonValue("0.2") << QString();
        QTest::newRow("number 0.2") << QJsonValue(0.2) << "";
        QTest::newRow("0.2 with a blank") << QJsonValue("0.2 ") << "0.2 ";
        QTest::newRow("0.1") << QJsonValue("0.1") << "0.1";
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << "";
    }

    void versionGate()
    {
        QFETCH(QJsonValue, version);
        QFETCH(QString, shownVersion);
        BoxCatcher boxes;
        HostWindow host;
        LogCollector log;
        host.manager()->buildPanel(manifest(version, {QJsonObject{{"name", "client"}}}));
        if (shownVersion.isNull()) {
            QVERIFY(host.panel()->layout());
            QCOMPARE(boxes.count(), 0);
            return;
        }
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Update Required"));
        QVERIFY2(boxes.boxes().first().text.contains("A new version of the updater is available: "
                                                     + shownVersion + ".<br>Please update"),
                 qPrintable(boxes.boxes().first().text));
        QVERIFY(!host.panel()->layout());
        QVERIFY(!log.contains("Fetching latest commit hash", true));
    }

    // A log-in page or an error page answered with 200 is a failed download, not a manifest
    // asking for another launcher version.
    void manifestThatIsNoObject_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("array") << QJsonDocument(QJsonArray{manifest("0.2", {})}).toJson();
        QTest::newRow("log-in page")
            << QByteArray("<html><body>Sign in to the Wi-Fi</body></html>");
        QTest::newRow("blanks") << QByteArray(" \n");
    }

    void manifestThatIsNoObject()
    {
        QFETCH(QByteArray, body);
        BoxCatcher boxes;
        LauncherRun run;
        run.start(body);
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Download Error"));
        QCOMPARE(boxes.boxes().first().text, QString("Failed to download JSON."));
    }

    void columnsFollowManifestOrder()
    {
        HostWindow host;
        LogCollector log;
        QJsonArray repos;
        for (const QString name : {"gamma", "alpha", "beta"})
            repos.append(QJsonObject{{"name", name}});
        host.manager()->buildPanel(manifest("0.2", repos));
        QCOMPARE(log.missingInOrder(
                     {"Fetching latest commit hash from GitLab for repository:  \"gamma\"",
                      "Fetching latest commit hash from GitLab for repository:  \"alpha\"",
                      "Fetching latest commit hash from GitLab for repository:  \"beta\""}),
                 QString());
        auto *columns = qobject_cast<QHBoxLayout *>(host.panel()->layout());
        QVERIFY(columns);
        QStringList captions;
        for (int i = 0; i < columns->count(); ++i)
            captions << columns->itemAt(i)->widget()->findChildren<QLabel *>().first()->text();
        QCOMPARE(captions, (QStringList{"gamma", "alpha", "beta"}));
    }

    void brokenEntriesNeverReadPastTheirLists()
    {
        HostWindow host;
        const QJsonObject noPrograms{{"name", "empty"}, {"exes", QJsonArray()}};
        const QJsonObject fewCaptions{{"name", "few"},
                                      {"exes", QJsonArray{"a", "b", "c"}},
                                      {"tooltip", QJsonArray{"only"}}};
        const QJsonObject mixed{{"name", "mixed"}, {"exes", QJsonArray{1, "b"}}, {"tooltip", "x"}};
        host.manager()->buildPanel(manifest("0.2", {noPrograms, fewCaptions, mixed, 7}));
        QLayout *columns = host.panel()->layout();
        QCOMPARE(columns->count(), 4);
        const auto buttons = [&](int column) {
            return columns->itemAt(column)->widget()->findChildren<QPushButton *>();
        };
        // No programs: button 0 is still there, and a click on it starts nothing and shows nothing.
        QCOMPARE(buttons(0).size(), 1);
        BoxCatcher boxes;
        buttons(0).first()->setEnabled(true);
        buttons(0).first()->click(); // a failed start would show its box before click() returns
        QCOMPARE(boxes.count(), 0);
        // Fewer captions than programs: the missing ones are empty texts.
        QCOMPARE(buttons(1).size(), 3);
        QCOMPARE(buttons(1).at(2)->toolTip(), QString());
        // Non-string elements count as empty texts; a non-object entry is an empty column.
        QCOMPARE(buttons(2).size(), 2);
        QCOMPARE(columns->itemAt(3)->widget()->findChild<QProgressBar *>()->objectName(),
                 QString());
    }

    void statusLineAndRetryOfOneRepository()
    {
        LauncherRun run;
        run.serveRepo("fine", "1");
        run.serveRepo("down", "1");
        run.server.serve(LauncherRun::commitsPath("down"), "busy", 503);
        run.serveRepo("blocked", "1");
        QVERIFY(QDir().mkpath("blocked.zip")); // a folder where its archive goes
        run.start();
        const QString checkFailed = "Failed to fetch commit hash from GitLab: ";
        QTRY_VERIFY(run.state("fine", "1").startsWith("hash recorded, archive gone, bar hidden"));
        QTRY_VERIFY(run.log.contains(checkFailed, true));
        const auto widgets = [&](const QString &name) {
            QWidget *column = run.window->findChild<QProgressBar *>(name)->parentWidget();
            return std::make_pair(column->findChild<QLabel *>(statusLineName),
                                  column->findChild<QToolButton *>(retryButtonName));
        };
        const auto [fineLine, fineRetry] = widgets("fine");
        const auto [line, retry] = widgets("down");
        QVERIFY(fineLine->isHidden() && fineRetry->isHidden());
        QTRY_VERIFY(widgets("blocked").first->isVisible());
        QVERIFY2(widgets("blocked")
                     .first->text()
                     .remove(QChar(0x200B))
                     .startsWith("Could not write the download to "
                                 + QDir::toNativeSeparators(QDir::currentPath()) + ": "),
                 qPrintable(widgets("blocked").first->text()));
        // The failed check says so in its own column, with Retry.
        QTRY_VERIFY(line->isVisible() && retry->isVisible() && retry->isEnabled());
        QCOMPARE(line->text().remove(QChar(0x200B)),
                 failureText(UpdateFailure::CommitCheck, "503"));

        // Retry checks that one repository again, once, and stays disabled meanwhile.
        retry->click();
        QVERIFY(!retry->isEnabled());
        retry->click();
        QTRY_COMPARE(run.log.count(checkFailed, true), 2);
        QTRY_VERIFY(retry->isEnabled());
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("down")), 2);
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("fine")), 1);

        ColumnStatus status(run.window->findChild<QProgressBar *>("down"));
        status.downloadStarted();
        status.downloadProgress(512 * 1024, 2048 * 1024, 0, 0);
        QCOMPARE(line->text(), QString("512 KB of 2.0 MB"));
        status.installed();
        QVERIFY(line->isHidden() && retry->isHidden());
    }

    // Last: it runs and ends the application's own event loop.
    void updateRequiredBoxQuits()
    {
        HostWindow host;
        BoxCatcher boxes;
        QTimer guard;
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(42); });
        guard.start(15000);
        QTimer::singleShot(0, this, [&host] { host.manager()->buildPanel(manifest("0.1", {})); });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Update Required"));
    }

private:
    static QJsonObject manifest(const QJsonValue &version, const QJsonArray &repos)
    {
        QJsonObject root{{"repos", repos}};
        if (!version.isUndefined())
            root.insert("updater_version", version);
        return root;
    }
};

VELTRO_TEST_MAIN(TestPanel)
#include "tst_panel.moc"
