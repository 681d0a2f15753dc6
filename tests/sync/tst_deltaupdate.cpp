#include "extract/stagedinstall.h"
#include "extract/zipextractor.h"
#include "launch/columnstatus.h"
#include "sync/watchedrequest.h"

#include "launcherrun.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// Who serves the archive: the in-process server, as a static server does, or nginx; and how
// many ranges a request may hold (0: none offered).
enum class Via { Server, Nginx };
// What goes wrong with one ranged request of the update, once.
enum class Fault {
    None,
    WrongContentRange, // a part that names bytes nobody asked for
    OnePartOnly,       // the first of the ranges asked, alone
    WholeArchive,      // 200 with the whole archive, unchanged
    ArchiveChanged,    // a new file on the server since the directory was read
    Cut,               // the connection ends inside a part
};

namespace {

const QByteArray repoName = "client";

// Two versions of a repository: the first and last 256 KiB files stay alike, so the changed file
// at the start and the new one in the middle are two ranges far apart, and the archive's last
// 64 KiB hold no changed entry.
QByteArray version(int n, int smallFiles = 0)
{
    const QByteArray number = QByteArray::number(n);
    ZipBuilder zip;
    if (n == 1)
        zip.addFile("client/edited.txt", "dropped by the next version");
    for (int i = 0; i < smallFiles; ++i)
        zip.addFile("client/small/" + QByteArray::number(i) + ".txt", "small");
    return zip
        .addStoredFile("client/changed.bin", LauncherRun::noise(40 * 1024, "changed" + number))
        .addStoredFile("client/first.bin", LauncherRun::noise(256 * 1024, "first"))
        .addFile(n == 1 ? "client/dropped.txt" : "client/new.txt", "only in " + number)
        .addFile("client/same.txt", "in both")
        .addStoredFile("client/last.bin", LauncherRun::noise(256 * 1024, "last"))
        .bytes();
}

QMap<QString, QByteArray> installedTree(const QByteArray &zip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("v.zip");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(zip) != zip.size())
        return {};
    file.close();
    ZipExtractor::extractInto(path, dir.path(), {dir.filePath("hash"), "x"});
    return LauncherRun::tree(dir.filePath("client"));
}

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A start of the launcher on one repository whose versions are published one after the other,
// its archive served by the in-process server as a static server serves it (fault, when set,
// may answer a ranged GET instead), or by nginx from www.
struct DeltaRun
{
    DeltaRun(const QString &www, const QString &nginxUrl, int maxRanges) : m_www(www)
    {
        run.server.route(LauncherRun::archivePath(repoName), [this, maxRanges](HttpConnection *c) {
            if (c->method() == "GET" && !c->header("Range").isEmpty() && fault
                && fault(c, ++ranged))
                return;
            c->respondFile(served, tag, maxRanges);
        });
        QJsonObject repo = run.repo(repoName);
        if (!nginxUrl.isEmpty())
            repo["download"] = nginxUrl;
        run.repos.append(repo);
    }
    void publish(int n)
    {
        served = version(n, smallFiles);
        tag = "\"v" + QByteArray::number(n) + "\"";
        QSaveFile file(m_www + "/client.zip");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(served);
        QVERIFY(file.commit());
        run.server.serve(LauncherRun::commitsPath(repoName),
                         LauncherRun::commitsBody("c" + QString::number(n)));
    }
    void startAndWait(const QString &id)
    {
        run.log.clear();
        run.start();
        QTRY_COMPARE_WITH_TIMEOUT(run.state(repoName, id), QString("installed"), 15000);
    }

    LauncherRun run;
    QByteArray served;
    QByteArray tag;
    int ranged = 0;
    int smallFiles = 0; // before the others: a directory larger than the first range
    std::function<bool(HttpConnection *, int ranged)> fault;
    const QString root = LauncherRun::installRoot() + "/client";

private:
    QString m_www;
};

} // namespace

// Delta updates over real HTTP: the changed entries fetched by ranges, whatever the server does
// with them, and the installed tree exactly the new archive's.
class TestDeltaUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        WatchedRequest::setIdleMs(10000);
        QDir().mkpath(m_www);
        const QString nginx = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"});
        if (nginx.isEmpty() || !m_nginxDir.isValid())
            return;
        // max_ranges as servers and CDNs limit them: 1 sends the whole file for several ranges,
        // 0 ignores ranges altogether.
        m_nginxPort = freePort();
        const QString dir = m_nginxDir.path();
        QFile conf(dir + "/nginx.conf");
        conf.open(QIODevice::WriteOnly);
        conf.write(QString("daemon off; master_process off; worker_processes 1;\n"
                           "pid %1/nginx.pid; error_log %1/error.log warn;\n"
                           "events { worker_connections 32; }\n"
                           "http { access_log off; client_body_temp_path %1/body;\n"
                           "  proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;\n"
                           "  uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
                           "  server { listen 127.0.0.1:%2; root %1/www;\n"
                           "    location /max1/ { alias %1/www/; max_ranges 1; }\n"
                           "    location /max0/ { alias %1/www/; max_ranges 0; } } }\n")
                       .arg(dir)
                       .arg(m_nginxPort)
                       .toUtf8());
        conf.close();
        m_nginx.start(nginx, {"-p", dir + "/", "-c", dir + "/nginx.conf"});
        QTRY_VERIFY_WITH_TIMEOUT(
            [this] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, m_nginxPort);
                return probe.waitForConnected(200);
            }(),
            10000);
    }

    void cleanupTestCase()
    {
        m_nginx.terminate();
        m_nginx.waitForFinished();
    }

    void update_data()
    {
        QTest::addColumn<Via>("via");
        QTest::addColumn<int>("maxRanges");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("faultAt"); // the ranged request of the update: 1 the archive's end
        QTest::addColumn<bool>("byRanges");
        QTest::addColumn<int>("smallFiles");

        QTest::newRow("several ranges in one answer")
            << Via::Server << 64 << Fault::None << 0 << true << 0;
        QTest::newRow("one range a request") << Via::Server << 1 << Fault::None << 0 << true << 0;
        QTest::newRow("no ranges offered") << Via::Server << 0 << Fault::None << 0 << false << 0;
        QTest::newRow("a part not asked for")
            << Via::Server << 64 << Fault::WrongContentRange << 2 << true << 0;
        QTest::newRow("one part of two")
            << Via::Server << 64 << Fault::OnePartOnly << 2 << true << 0;
        QTest::newRow("whole archive for the end")
            << Via::Server << 64 << Fault::WholeArchive << 1 << false << 0;
        QTest::newRow("changed after its directory")
            << Via::Server << 64 << Fault::ArchiveChanged << 2 << false << 0;
        QTest::newRow("cut inside a part") << Via::Server << 64 << Fault::Cut << 2 << true << 0;
        QTest::newRow("a directory beyond the first range")
            << Via::Server << 64 << Fault::None << 0 << true << 1200;
        QTest::newRow("nginx") << Via::Nginx << 64 << Fault::None << 0 << true << 0;
        QTest::newRow("nginx, max_ranges 1") << Via::Nginx << 1 << Fault::None << 0 << true << 0;
        QTest::newRow("nginx, max_ranges 0") << Via::Nginx << 0 << Fault::None << 0 << false << 0;
    }

    // The first version installed whole, then the second: by ranges or by the whole archive,
    // the tree is the second's, the player's file kept; then a file deleted is repaired.
    void update()
    {
        QFETCH(Via, via);
        QFETCH(int, maxRanges);
        QFETCH(Fault, fault);
        QFETCH(int, faultAt);
        QFETCH(bool, byRanges);
        QFETCH(int, smallFiles);
        if (via == Via::Nginx && m_nginxPort == 0)
            QSKIP("nginx is not installed");
        const QString prefix = maxRanges == 64 ? "/" : QString("/max%1/").arg(maxRanges);
        DeltaRun delta(m_www, via == Via::Nginx ? nginxUrl(prefix) : QString(), maxRanges);
        delta.smallFiles = smallFiles;
        delta.publish(1);
        delta.startAndWait("c1");
        QVERIFY(LauncherRun::writeFile(delta.root + "/made.txt", "the player's"));
        QVERIFY(LauncherRun::writeFile(delta.root + "/edited.txt", "the player's edit"));
        delta.publish(2);
        delta.ranged = 0;
        delta.fault = [&delta, fault, faultAt](HttpConnection *connection, int ranged) {
            const QByteArray size = QByteArray::number(delta.served.size());
            switch (ranged == faultAt ? fault : Fault::None) {
            case Fault::None:
                return false;
            case Fault::WrongContentRange:
                connection->respond(206, delta.served.left(10),
                                    {{"ETag", delta.tag}, {"Content-Range", "bytes 0-9/" + size}});
                return true;
            case Fault::OnePartOnly:
                connection->respondFile(delta.served, delta.tag, 1);
                return true;
            case Fault::WholeArchive:
                connection->respond(200, delta.served, {{"ETag", delta.tag}});
                return true;
            case Fault::ArchiveChanged:
                delta.served = version(3);
                delta.tag = "\"v3\"";
                return false;
            case Fault::Cut:
                connection->cutAfter(1000);
                return false;
            }
            return false;
        };
        delta.startAndWait("c2");
        QMap<QString, QByteArray> expected = installedTree(delta.served);
        expected.insert("made.txt", "the player's");
        expected.insert("edited.txt", "the player's edit");
        QCOMPARE(LauncherRun::tree(delta.root), expected);
        // On failure, the update's story: how the delta went, and the whole download if any.
        const QStringList story = delta.run.log.lines().filter(
            QRegularExpression("^(Delta update|Download error|Retrying|File size|ZIP file)"));
        QVERIFY2(delta.run.log.contains("Delta update fetched", true) == byRanges,
                 qPrintable(story.join('\n')));
        QCOMPARE(delta.run.log.contains("Delta update: the server sent the whole archive", true),
                 fault == Fault::WholeArchive);

        // A file gone: fetched again alone where ranges are offered.
        QVERIFY(QFile::remove(delta.root + "/changed.bin"));
        delta.fault = {};
        delta.startAndWait("c2");
        QCOMPARE(LauncherRun::tree(delta.root), expected);
        QCOMPARE(delta.run.log.contains("Delta update fetched", true), maxRanges > 0);
    }

    // A delta install stopped halfway through its moves, as by a kill: the next start puts the
    // first version back whole, then installs the second.
    void stoppedInstall()
    {
        DeltaRun delta(m_www, {}, 64);
        delta.publish(1);
        delta.startAndWait("c1");
        const QMap<QString, QByteArray> first = LauncherRun::tree(delta.root);
        delta.publish(2);
        int moves = 0;
        StagedInstall::stopHook = [&moves](const QString &step) {
            return step.startsWith("move") && ++moves == 2;
        };
        delta.run.start();
        QTRY_COMPARE(moves, 2);
        StagedInstall::stopHook = {};
        QVERIFY(delta.run.log.contains("Delta update fetched", true));
        delta.run.window.reset();
        QVERIFY(StagedInstall::recover(LauncherRun::installRoot()));
        QCOMPARE(LauncherRun::tree(delta.root), first);
        delta.startAndWait("c2");
        QCOMPARE(LauncherRun::tree(delta.root), installedTree(version(2)));
    }

    // Verify files finds a file changed within its size and time, which the comparison with the
    // index cannot see, and fetches it alone; intact files, at a start too, ask for nothing.
    void verifyRepairsByRanges()
    {
        DeltaRun delta(m_www, {}, 64);
        delta.publish(1);
        delta.startAndWait("c1");
        const QMap<QString, QByteArray> first = LauncherRun::tree(delta.root);
        QAction *verify = delta.run.window->findChild<QAction *>();
        verify->trigger();
        QCOMPARE(delta.run.window->findChild<QLabel *>(statusLineName)->text(),
                 QString("All files are as installed."));
        QFile file(delta.root + "/first.bin");
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QDateTime modified = file.fileTime(QFileDevice::FileModificationTime);
        QVERIFY(file.write("rot") == 3 && file.flush());
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();
        delta.run.log.clear();
        verify->trigger();
        QTRY_COMPARE(delta.run.state(repoName, "c1"), QString("installed"));
        QCOMPARE(LauncherRun::tree(delta.root), first);
        QVERIFY(delta.run.log.contains("Delta update: 1 of 6 files changed", true));
        const int gets = delta.run.server.requestCount("GET", LauncherRun::archivePath(repoName));
        delta.startAndWait("c1");
        QCOMPARE(delta.run.server.requestCount("GET", LauncherRun::archivePath(repoName)), gets);
    }

private:
    QString nginxUrl(const QString &prefix) const
    {
        return QString("http://127.0.0.1:%1%2client.zip").arg(m_nginxPort).arg(prefix);
    }

    QTemporaryDir m_nginxDir;
    const QString m_www = m_nginxDir.filePath("www");
    QProcess m_nginx;
    quint16 m_nginxPort = 0;
};

VELTRO_TEST_MAIN(TestDeltaUpdate)
#include "tst_deltaupdate.moc"
