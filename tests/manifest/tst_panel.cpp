#include "manifest/repomanager.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

// The manifest's version gate and panel, and starting a repository's program.
class TestPanel : public QObject
{
    Q_OBJECT

private slots:
    void versionGate_data()
    {
        QTest::addColumn<QJsonValue>("version");   // Undefined: missing; Null: the root is an array
        QTest::addColumn<QString>("shownVersion"); // null: accepted
        QTest::newRow("exact 0.2") << QJsonValue("0.2") << QString();
        QTest::newRow("number 0.2") << QJsonValue(0.2) << "";
        QTest::newRow("0.2 with a blank") << QJsonValue("0.2 ") << "0.2 ";
        QTest::newRow("0.1") << QJsonValue("0.1") << "0.1";
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << "";
        QTest::newRow("not an object") << QJsonValue(QJsonValue::Null) << "";
    }

    void versionGate()
    {
        QFETCH(QJsonValue, version);
        QFETCH(QString, shownVersion);
        BoxCatcher boxes;
        LauncherRun run;
        run.serveRepo("client", "1");
        run.start(version.isNull() ? QJsonDocument(QJsonArray{manifest("0.2", run.repos)}).toJson()
                                   : QJsonDocument(manifest(version, run.repos)).toJson());
        if (shownVersion.isNull()) {
            // The repository is synchronised once the panel stands: the gate let it through.
            QTRY_COMPARE(run.state("client", "1"), QString("installed"));
            QCOMPARE(boxes.count(), 0);
            return;
        }
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Update Required"));
        QVERIFY2(boxes.boxes().first().text.contains("A new version of the updater is available: "
                                                     + shownVersion + ".<br>Please update"),
                 qPrintable(boxes.boxes().first().text));
        QVERIFY(!run.window->findChild<QWidget *>("buttonPanel")->layout());
        QCOMPARE(run.server.requestCount("GET", LauncherRun::commitsPath("client")), 0);
    }

    void columnsFollowManifestOrder()
    {
        LauncherRun run;
        for (const QString name : {"gamma", "alpha", "beta"})
            run.serveRepo(name, "1");
        run.start();
        QTRY_COMPARE(
            run.log.count("Fetching latest commit hash from GitLab for repository: ", true), 3);
        QCOMPARE(run.log.missingInOrder(
                     {"Fetching latest commit hash from GitLab for repository:  \"gamma\"",
                      "Fetching latest commit hash from GitLab for repository:  \"alpha\"",
                      "Fetching latest commit hash from GitLab for repository:  \"beta\""}),
                 QString());
        QLayout *columns = run.window->findChild<QWidget *>("buttonPanel")->layout();
        QCOMPARE(columns->count(), 3);
        QStringList captions;
        int lastX = -1;
        for (int i = 0; i < 3; ++i) {
            QWidget *column = columns->itemAt(i)->widget();
            QTRY_VERIFY(column->geometry().x() > lastX);
            lastX = column->geometry().x();
            captions << column->findChildren<QLabel *>().first()->text();
        }
        QCOMPARE(captions, (QStringList{"gamma", "alpha", "beta"}));
    }

    void brokenEntriesNeverReadPastTheirLists()
    {
        LauncherRun run;
        QJsonObject noPrograms = run.repo("empty");
        noPrograms["exes"] = QJsonArray();
        noPrograms["tooltip"] = QJsonArray();
        QJsonObject fewCaptions = run.repo("few");
        fewCaptions["exes"] = QJsonArray{"a", "b", "c"};
        fewCaptions["tooltip"] = QJsonArray{"only"};
        const QJsonObject mixed{{"name", "mixed"}, {"exes", QJsonArray{1, "b"}}, {"tooltip", "x"}};
        run.start(QJsonDocument(manifest("0.2", {noPrograms, fewCaptions, mixed, 7})).toJson());
        QTRY_VERIFY(run.window->findChild<QWidget *>("buttonPanel")->layout());
        QLayout *columns = run.window->findChild<QWidget *>("buttonPanel")->layout();
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

    void launch_data()
    {
        QTest::addColumn<QString>("program"); // recorder, plain (not executable), none, no folder
        QTest::addColumn<QString>("args");
        QTest::addColumn<QStringList>("expected");
        const QString recorder = "recorder";
        QTest::newRow("blanks around and between")
            << recorder << "  --mode   fast  " << QStringList{"[--mode]", "[fast]"};
        QTest::newRow("none") << recorder << "" << QStringList{};
        QTest::newRow("tab is no separator")
            << recorder << "a\tb c" << QStringList{"[a\tb]", "[c]"};
        QTest::newRow("quotes are no quoting")
            << recorder << "\"two words\"" << QStringList{"[\"two]", "[words\"]"};
        QTest::newRow("missing program") << "none"
                                         << "a" << QStringList{};
        QTest::newRow("not executable") << "plain"
                                        << "a" << QStringList{};
        QTest::newRow("missing working folder") << "no folder"
                                                << "a" << QStringList{};
    }

    void launch()
    {
        QFETCH(QString, program);
        QFETCH(QString, args);
        QFETCH(QStringList, expected);
        LauncherRun run; // a clean install root
        const QString folder = LauncherRun::installRoot() + "/game";
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

    // Last: it runs and ends the application's own event loop.
    void updateRequiredBoxQuits()
    {
        LauncherRun run;
        // OK must end the application's event loop: run one and see that the box ends it.
        BoxCatcher boxes;
        QTimer guard;
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(42); });
        guard.start(15000);
        QTimer::singleShot(0, this,
                           [&run] { run.start(QJsonDocument(manifest("0.1", {})).toJson()); });
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
