#include "extract/diskspace.h"
#include "extract/launcherfiles.h"
#include "extract/stagedinstall.h"
#include "extract/zipextractor.h"

#include "launcherrun.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QtTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

// Another volume: a tmpfs on /media; empty where that is refused.
static const QString otherVolume = TestEnvironment::mountPrivateTmpfs("/media")
                                       ? QStringLiteral("/media")
                                       : QString();

using Tree = QMap<QString, QByteArray>; // path below a folder: content or "<dir>"

namespace {

const auto tree = LauncherRun::tree;

// Version 1 and what version 2 of the repository changes: two files replaced, two added.
Tree version(int number)
{
    if (number == 1)
        return {{"a.txt", "a1"}, {"b.txt", "b1"}, {"keep.txt", "kept"}};
    return {{"a.txt", "a2"},  {"b.txt", "b2"},     {"keep.txt", "kept"},
            {"new", "<dir>"}, {"new/n.txt", "n2"}, {"c.txt", "c2"}};
}

QByteArray archive(int number)
{
    ZipBuilder zip;
    const Tree files = version(number);
    for (const QString name : {"a.txt", "b.txt", "new/n.txt", "c.txt", "keep.txt"}) {
        if (files.contains(name) && (number == 1 || name != "keep.txt"))
            zip.addFile("repo/" + name.toUtf8(), files.value(name));
    }
    return zip.bytes();
}

} // namespace

// An update installed all or nothing whatever ends it: a kill at any step, a file that cannot be
// put back, a hash file that cannot be written; the next start leaves one version and its record.
class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
#ifdef Q_OS_LINUX
        // The sandbox's own file system mounted a second time: the same device, yet no rename
        // crosses between the two.
        const QString bound = TestEnvironment::instance()->root() + "/bound";
        m_bound = !otherVolume.isEmpty() && QDir().mkpath(bound)
                  && QDir().mkpath(otherVolume + "/bound")
                  && mount(QFile::encodeName(bound).constData(),
                           QFile::encodeName(otherVolume + "/bound").constData(), nullptr, MS_BIND,
                           nullptr)
                         == 0;
#endif
    }

    void init()
    {
        QDir(m_root).removeRecursively();
        QVERIFY(QDir().mkpath(m_root));
        for (const QString folder : {"/repo", "/bound/repo"})
            QDir(otherVolume + folder).removeRecursively();
        QDir(m_hash).removeRecursively();
        QFile::remove(m_hash);
        StagedInstall::replaceHook = nullptr;
        StagedInstall::restoreHook = nullptr;
        StagedInstall::stopHook = nullptr;
        DiskSpace::freeSpaceHook = nullptr;
        m_log.reset(); // installed after QtTest's own message handler
        m_log = std::make_unique<LogCollector>();
    }
    void cleanupTestCase()
    {
        m_log.reset();
    }

    void interrupted_data()
    {
        QTest::addColumn<QString>("linked");  // the repository's folder a link to this folder
        QTest::addColumn<QString>("stopAt");  // the step killed at; after "|", the next start's
        QTest::addColumn<QString>("refuse");  // the file whose replacement fails: all put back
        QTest::addColumn<QString>("keep");    // the file that then cannot be put back
        QTest::addColumn<int>("installs");    // tries in the same run
        QTest::addColumn<bool>("folderHash"); // a folder where the hash file goes
        QTest::addColumn<int>("status");      // of the last try, when not killed
        QTest::addColumn<int>("refusals");    // starts whose undo fails again
        QTest::addColumn<int>("installed");   // the version once a start resolved it
        QTest::addColumn<QString>("hash");    // then in the hash file; "": none
        using R = ExtractionResult;
        // Another volume, and the same one mounted twice.
        for (const QString linked : {"", "/repo", "/bound/repo"}) {
            const auto row = [&](const char *name, const char *stopAt, const char *refuse,
                                 const char *keep, int status, int installed, const char *hash,
                                 int installs = 1, int refusals = 0, bool folderHash = false) {
                QTest::addRow("%s%s%s", name, linked.isEmpty() ? "" : ", linked to ",
                              qPrintable(linked))
                    << linked << stopAt << refuse << keep << installs << folderHash << status
                    << refusals << installed << hash;
            };
            row("installed", "", "", "", R::Extracted, 2, "c2");
            row("killed while staging", "staged", "", "", 0, 1, "c1");
            row("killed after 1 of 5 moves", "move repo/b.txt", "", "", 0, 1, "c1");
            row("killed after 4 of 5 moves", "move repo/c.txt", "", "", 0, 1, "c1");
            if (!linked.isEmpty())
                row("killed between copy and rename", "copied repo/b.txt", "", "", 0, 1, "c1");
            row("killed after the moves", "moved", "", "", 0, 1, "c1");
            row("killed before the record", "record", "", "", 0, 2, "c2");
            row("killed before deleting the old files", "recorded", "", "", 0, 2, "c2");
            row("start killed undoing", "move repo/c.txt|undo repo/a.txt", "", "", 0, 1, "c1");
            row("start killed while finishing", "record|recorded", "", "", 0, 2, "c2");
            row("file in use", "", "repo/c.txt", "", R::FileInUse, 1, "c1");
            row("killed during the undo", "undo repo/b.txt", "repo/c.txt", "", 0, 1, "c1");
            row("undo fails", "", "repo/c.txt", "repo/a.txt", R::RestoreFailed, 1, "c1");
            row("undo fails at the start too", "", "repo/c.txt", "repo/a.txt", R::RestoreFailed, 1,
                "", 1, 1);
            row("undo fails, installed again", "", "repo/c.txt", "repo/a.txt", R::RestoreFailed, 1,
                "", 2);
            row("hash file unwritable", "", "", "", R::RecordUnwritable, 1, "", 1, 0, true);
        }
    }

    void interrupted()
    {
        QFETCH(QString, linked);
        QFETCH(QString, stopAt);
        QFETCH(QString, refuse);
        QFETCH(QString, keep);
        QFETCH(int, installs);
        QFETCH(bool, folderHash);
        QFETCH(int, refusals);
        if (!linked.isEmpty() && (otherVolume.isEmpty() || (linked.contains("bound") && !m_bound)))
            QSKIP("No private mount namespace here to make another volume");
        const QString repo = linked.isEmpty() ? m_root + "/repo" : otherVolume + linked;
        QVERIFY(QDir().mkpath(repo));
        QVERIFY(linked.isEmpty() || QFile::link(repo, m_root + "/repo"));
        QVERIFY(LauncherRun::writeFile("v1.zip", archive(1))
                && LauncherRun::writeFile("v2.zip", archive(2)));
        QCOMPARE(ZipExtractor::extractInto("v1.zip", m_root, {m_hash, "c1"}).status,
                 ExtractionResult::Extracted);
        QVERIFY(!folderHash || (QFile::remove(m_hash) && QDir().mkpath(m_hash)));

        const QStringList kills = stopAt.split('|');
        StagedInstall::stopHook = [&](const QString &step) { return step == kills.first(); };
        StagedInstall::replaceHook = [&](const QString &target) {
            return refuse.isEmpty() || !target.endsWith(refuse);
        };
        StagedInstall::restoreHook = [&](const QString &target) {
            return keep.isEmpty() || !target.endsWith(keep);
        };
        QList<std::pair<qint64, qint64>> moving;
        const auto report = [&](InstallPhase phase, qint64 done, qint64 total) {
            if (phase == InstallPhase::Moving)
                moving.append({done, total});
        };
        ExtractionResult result;
        for (int run = 0; run < installs; ++run)
            result = ZipExtractor::extractInto("v2.zip", m_root, {m_hash, "c2"}, report);
        if (stopAt.isEmpty()) {
            QTEST(int(result.status), "status");
            // Files moved, put back and deleted, told to the caller up to their end.
            QVERIFY(!moving.isEmpty());
            QCOMPARE(moving.last().first, moving.last().second);
        }
        if (result.status == ExtractionResult::RestoreFailed)
            QCOMPARE(result.detail, QDir::toNativeSeparators(keep));
        if (folderHash) {
            QVERIFY(m_log->contains("Failed to write hash file: \"" + m_hash + "\"", true));
            QVERIFY(result.detail.startsWith(QDir::toNativeSeparators(m_hash) + ": "));
        }

        // The next starts.
        StagedInstall::replaceHook = nullptr;
        StagedInstall::stopHook = [&](const QString &step) { return step == kills.value(1); };
        if (kills.size() > 1)
            StagedInstall::recover(m_root);
        StagedInstall::stopHook = nullptr;
        for (int start = 0; start < refusals; ++start)
            QVERIFY(!StagedInstall::recover(m_root));
        StagedInstall::restoreHook = nullptr;
        QVERIFY(StagedInstall::recover(m_root));
        QFETCH(int, installed);
        QCOMPARE(tree(repo), version(installed));
        QTEST(QString::fromUtf8(LauncherRun::readAll(m_hash)), "hash");
        QVERIFY(!QFileInfo::exists(m_root + "/" + LauncherFiles::workFolder));
        const QStringList asides = QDir(repo).entryList({"*.veltro-update*"}, QDir::Hidden);
        QVERIFY2(asides.isEmpty(), qPrintable(asides.join(' ')));
    }

    void diskSpace_data()
    {
        QTest::addColumn<qint64>("needed");
        QTest::addColumn<qint64>("free"); // -1: unknown
        QTest::addColumn<QString>("shortfall");
        const qint64 gb = qint64(1) << 30;
        QTest::newRow("enough") << 2 * gb << 2 * gb << "";
        QTest::newRow("unknown") << 2 * gb << qint64(-1) << "";
        QTest::newRow("short") << gb * 3 / 2 << gb + gb / 9 << "1.5 GB needed on %1, 1.1 GB free";
        QTest::newRow("short by a byte")
            << qint64(5000) << qint64(4999) << "4.8 KB needed on %1, 4.8 KB free";
    }

    void diskSpace()
    {
        QFETCH(qint64, needed);
        QFETCH(qint64, free);
        QFETCH(QString, shortfall);
        DiskSpace::freeSpaceHook = [&](const QString &) { return free; };
        const QString folder = m_root + "/not yet";
        QCOMPARE(DiskSpace::shortfall(folder, needed).value_or(QString()),
                 shortfall.isEmpty() ? "" : shortfall.arg(QDir::toNativeSeparators(folder)));
    }

    // Refused before anything is written: the old version, the archive and the new copy do not fit.
    void noSpace()
    {
        QVERIFY(LauncherRun::writeFile("v2.zip", archive(2)));
        DiskSpace::freeSpaceHook = [](const QString &) { return qint64(7); };
        const ExtractionResult result = ZipExtractor::extractInto("v2.zip", m_root, {m_hash, "c2"});
        const QString text = "8 bytes needed on " + QDir::toNativeSeparators(m_root)
                             + ", 7 bytes free";
        QCOMPARE(result.status, ExtractionResult::NoSpace);
        QCOMPARE(result.detail, text);
        // The debug stream quotes the text, doubling Windows' separators.
        QVERIFY(m_log->contains("Not enough disk space: \"" + QString(text).replace("\\", "\\\\")
                                + "\""));
        QCOMPARE(tree(m_root), Tree());
        QVERIFY(!QFileInfo::exists(m_hash));
    }

private:
    const QString m_root = LauncherRun::installRoot();
    const QString m_hash = QDir::currentPath() + "/repo_hash.txt";
    bool m_bound = false;
    std::unique_ptr<LogCollector> m_log;
};

VELTRO_TEST_MAIN(TestInstall)
#include "tst_install.moc"
