#include "app/mainwindow.h"
#include "manifest/repomanager.h"

#include "boxcatcher.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QtTest>

#ifndef VELTRO_RECORD_LAUNCH_SCRIPT
#error "VELTRO_RECORD_LAUNCH_SCRIPT must name the recording test program"
#endif

// Starting a repository's program: the argument split, the program path and working directory
// under the install root, the two kinds of button, and the Execution Error box.
class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void arguments_data();
    void arguments();
    void buttonsStartTheirPrograms();
    void missingDirStartsFromInstallRoot();
    void failedStart_data();
    void failedStart();

private:
    // Puts the recording program at install root + "/" + path, executable.
    static QString installRecorder(const QString &path)
    {
        const QString target = TestEnvironment::installRoot() + "/" + path;
        QDir().mkpath(QFileInfo(target).path());
        QFile::remove(target);
        if (!QFile::copy(VELTRO_RECORD_LAUNCH_SCRIPT, target))
            return {};
        QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ExeOwner);
        return target;
    }
    // What the recording program wrote in folder: its working directory, then "[arg]" lines.
    static QStringList record(const QString &folder)
    {
        QFile file(folder + "/launch-record.txt");
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    static QString canonical(const QString &folder) { return QDir(folder).canonicalPath(); }
};

void TestLaunch::init()
{
    QDir(TestEnvironment::installRoot()).removeRecursively();
}

void TestLaunch::arguments_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("blanks around and between")
        << "  --mode   fast  " << QStringList{"[--mode]", "[fast]"};
    QTest::newRow("none") << "" << QStringList{};
    QTest::newRow("only blanks") << "    " << QStringList{};
    QTest::newRow("tab is no separator") << "a\tb c" << QStringList{"[a\tb]", "[c]"};
    QTest::newRow("quotes are no quoting")
        << "\"two words\"" << QStringList{"[\"two]", "[words\"]"};
}

void TestLaunch::arguments()
{
    QFETCH(QString, args);
    QFETCH(QStringList, expected);

    QVERIFY(!installRecorder("game/bin/start.sh").isEmpty());
    const QString workingDir = TestEnvironment::installRoot() + "/game";
    RepoManager manager;
    BoxCatcher boxes;
    manager.launchExecutable("bin/start.sh", args, workingDir);
    QTRY_VERIFY(!record(workingDir).isEmpty());
    QCOMPARE(record(workingDir), QStringList{canonical(workingDir)} + expected);
    QCOMPARE(boxes.count(), 0);
}

void TestLaunch::buttonsStartTheirPrograms()
{
    // Two programs of one repository share its folder and arguments.
    QVERIFY(!installRecorder("game/bin/start.sh").isEmpty());
    QVERIFY(!installRecorder("game/tools/tool.sh").isEmpty());
    const QString folder = TestEnvironment::installRoot() + "/game";

    TestHttpServer server;
    QVERIFY(server.start());
    const QJsonObject entry{{"name", "game"},
                            {"exes", QJsonArray{"bin/start.sh", "tools/tool.sh"}},
                            {"tooltip", QJsonArray{"Play", "Tool"}},
                            {"dir", "game"},
                            {"args", " one  two "}};
    server.serve("/kiv/updater.json",
                 QJsonDocument(QJsonObject{{"updater_version", "0.2"},
                                           {"repos", QJsonArray{entry}}})
                     .toJson());

    LogCollector log;
    MainWindow window(server.urlString("/kiv/updater.json"));
    window.show();
    QTRY_COMPARE(window.findChildren<QPushButton *>().size(), 2);
    // The entry names no commit list; its check fails at once.
    QTRY_VERIFY(log.contains("Failed to fetch commit hash from GitLab:  ", true));
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        button->setEnabled(true); // the commit check has nothing to answer here

    log.clear();
    buttons.at(0)->click();
    QTRY_VERIFY(!record(folder).isEmpty());
    QCOMPARE(record(folder), (QStringList{canonical(folder), "[one]", "[two]"}));
    QVERIFY(log.lines().isEmpty());
    QFile::remove(folder + "/launch-record.txt");

    buttons.at(1)->click();
    QTRY_VERIFY(!record(folder).isEmpty());
    QCOMPARE(record(folder), (QStringList{canonical(folder), "[one]", "[two]"}));
    QCOMPARE(log.lines(), QStringList{"Botão do repositório \"game\" foi clicado!"});
}

void TestLaunch::missingDirStartsFromInstallRoot()
{
    QVERIFY(!installRecorder("start.sh").isEmpty());
    const QString root = TestEnvironment::installRoot();
    RepoManager manager;
    // What a click passes when the entry has no dir: the install root and "/".
    manager.launchExecutable("start.sh", QString(), root + "/");
    QTRY_VERIFY(!record(root).isEmpty());
    QCOMPARE(record(root), QStringList{canonical(root)});
}

void TestLaunch::failedStart_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("missing program") << "missing";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("missing working folder") << "nofolder";
}

void TestLaunch::failedStart()
{
    QFETCH(QString, setup);
    const QString folder = TestEnvironment::installRoot() + "/game";
    if (setup != "nofolder")
        QVERIFY(QDir().mkpath(folder));
    if (setup == "plain") {
        QVERIFY(!installRecorder("game/start.sh").isEmpty());
        QFile::setPermissions(folder + "/start.sh",
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    } else if (setup == "folder") {
        QVERIFY(QDir().mkpath(folder + "/start.sh"));
    }

    RepoManager manager;
    BoxCatcher boxes;
    LogCollector log;
    manager.launchExecutable("start.sh", "a b", folder);
    QCOMPARE(boxes.count(), 1);
    const BoxCatcher::Box &box = boxes.boxes().first();
    QCOMPARE(box.title, QString("Execution Error"));
    QCOMPARE(box.text, QString("Failed to start the executable."));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QVERIFY(!box.hasParent);
    QVERIFY(log.lines().isEmpty());
    QVERIFY(!QFile::exists(folder + "/launch-record.txt"));
}

VELTRO_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
