// Hostile commit lists: huge arrays, odd first elements, an id of a megabyte. The id is taken as
// the text it is, carried through the download and recorded whole.

#include "app/mainwindow.h"
#include "sync/transfertimeout.h"

#include "../sync/syncfixture.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QTest>

using namespace SyncFixture;

namespace {

const QString upToDate = QStringLiteral("Repository is up-to-date. No need to download.");
const QString noCommits = QStringLiteral("No commits found for the repository.");
const QString installed = QStringLiteral("Extraction completed successfully!");

QByteArray idObject(const QByteArray &id)
{
    return "{\"id\":\"" + id + "\",\"title\":\"t\"}";
}

} // namespace

class TestHostileCommits : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void commitList_data();
    void commitList();
    void nameTheFileSystemRefuses_data();
    void nameTheFileSystemRefuses();
};

void TestHostileCommits::init()
{
    resetFolders();
    TransferTimeout::setIdleMs(10000);
}

void TestHostileCommits::commitList_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("outcome"); // the line that ends the check, or the install
    QTest::addColumn<QByteArray>("recorded"); // the hash file afterwards (<none>: not written)

    const QByteArray id = "0123456789abcdef0123456789abcdef01234567";
    const QByteArray megabyteId = QByteArray("0123456789abcdef").repeated(65536);
    QTest::newRow("200000 commits")
        << "[" + idObject(id) + ("," + idObject("ffff")).repeated(200000) + "]" << installed
        << id;
    QTest::newRow("200000 numbers") << "[" + QByteArray("1,").repeated(200000) + "1]"
                                    << upToDate << QByteArray("<none>");
    QTest::newRow("first element null") << "[null," + idObject(id) + "]" << upToDate
                                        << QByteArray("<none>");
    QTest::newRow("first element an array")
        << "[[" + idObject(id) + "]," + idObject(id) + "]" << upToDate << QByteArray("<none>");
    QTest::newRow("id an object") << QByteArray(R"([{"id": {"id": "x"}}])") << upToDate
                                  << QByteArray("<none>");
    QTest::newRow("id of a megabyte") << "[" + idObject(megabyteId) + "]" << installed
                                      << megabyteId;
    QTest::newRow("id with escapes")
        << QByteArray(R"([{"id": "a\u00e9\ud83d\ude00\"b"}])") << installed
        << QByteArray("a\xC3\xA9\xF0\x9F\x98\x80\"b");
    QTest::newRow("a string of five megabytes") << "\"" + QByteArray(5 << 20, 's') + "\""
                                                << noCommits << QByteArray("<none>");
}

void TestHostileCommits::commitList()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, recorded);

    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, "client")});
    server.serve(commitsPath("client"), body);
    server.serve(archivePath("client"),
                 ZipBuilder().addFile("client/bin/start.sh", "#!/bin/sh\n", 0100755).bytes());

    {
        LogCollector log;
        MainWindow window(manifestUrl(server));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(outcome), 30000);
        if (recorded == "<none>") {
            QVERIFY(!QFile::exists("client_hash.txt"));
            QCOMPARE(server.requestCount("HEAD", archivePath("client")), 0);
        } else {
            QTRY_COMPARE(readAll("client_hash.txt"), recorded);
        }
    }

    // Recorded whole, the id is found equal at the next start: no second download.
    if (recorded != "<none>") {
        LogCollector log;
        MainWindow window(manifestUrl(server));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(upToDate), 30000);
        QCOMPARE(server.requestCount("GET", archivePath("client")), 1);
    }
}

void TestHostileCommits::nameTheFileSystemRefuses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("refused"); // refused at once, or pending for the run
    // The system would end the file names at the NUL, at the files of a repository "client".
    QTest::newRow("NUL") << QString("client") + QChar(0) + "evil" << true;
    QTest::newRow("NUL and the hash file's name")
        << QString("client_hash.txt") + QChar(0) << true;
    QTest::newRow("300 characters") << QString(300, 'n') << false;
}

// No file may be written under a name other than the repository's own: a name the file system
// cannot take is refused, or its archive fails to open and the repository stays pending (its bar
// shown), as for any archive that cannot be written.
void TestHostileCommits::nameTheFileSystemRefuses()
{
    QFETCH(QString, name);
    QFETCH(bool, refused);

    TestHttpServer server;
    QVERIFY(server.start());
    serveManifest(server, {repoEntry(server, name, "odd")});
    server.serve(commitsPath("odd"), commitsBody("0123456789abcdef0123456789abcdef01234567"));
    server.serve(archivePath("odd"), ZipBuilder().addFile("odd/a.txt", "a").bytes());

    LogCollector log;
    MainWindow window(manifestUrl(server));
    if (refused) {
        QTRY_VERIFY(log.contains("Refusing to synchronise repository with an unsafe name:", true));
        QCOMPARE(server.requestCount("GET", commitsPath("odd")), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Failed to open file for writing:", true), 30000);
    }
    auto *bar = window.findChild<QProgressBar *>(name);
    QVERIFY(bar);
    QCOMPARE(bar->isHidden(), refused);
    QCOMPARE(QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(!QFileInfo::exists(TestEnvironment::installRoot() + "/odd"));
}

VELTRO_TEST_MAIN(TestHostileCommits)
#include "tst_hostilecommits.moc"
