// Damaged and hostile archives: whatever the bytes, the extraction ends, writes only below the
// install root, and reports true only for an archive it extracted whole.

#include "extract/zipextractor.h"

#include "logcollector.h"
#include "rawzip.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <functional>

#include <signal.h>
#include <sys/resource.h>

namespace {

QString installRoot()
{
    return TestEnvironment::installRoot();
}

QString archivePath()
{
    return QDir::current().absoluteFilePath("hostile.zip");
}

bool writeArchive(const QByteArray &bytes)
{
    QFile file(archivePath());
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray installed(const QString &relative)
{
    QFile file(installRoot() + "/" + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void listOutside(const QString &folder, QStringList &found)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.absoluteFilePath();
        if (path == archivePath() || path == installRoot())
            continue;
        found.append(path);
        if (entry.isDir() && !entry.isSymLink())
            listOutside(path, found);
    }
}

// Every path in the sandbox outside the install root, apart from the archive.
QStringList outsideInstallRoot()
{
    QStringList found;
    listOutside(TestEnvironment::instance()->root(), found);
    found.sort();
    return found;
}

// Files may not grow past `bytes` while it lives: writes beyond fail with EFBIG, as on a full
// disk, instead of killing the process with SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_savedHandler);
    }
    bool active() const { return m_active; }

private:
    rlimit m_saved{};
    sighandler_t m_savedHandler = SIG_DFL;
    bool m_active = false;
};

using Mutation = std::function<void(QByteArray &archive, const RawZip::Layout &layout)>;

const QByteArray firstContent = QByteArray("first entry\n").repeated(2000);
const QByteArray secondContent = "second entry, stored";

} // namespace

class TestHostileArchives : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void truncatedAtEveryRegion_data();
    void truncatedAtEveryRegion();
    void damagedRecords_data();
    void damagedRecords();
    void bombStopsAtAFullDisk();
    void bombDeclaringMoreThanItHolds();
    void oddNames_data();
    void oddNames();

private:
    // What the sandbox holds outside the install root before any extraction.
    QStringList m_outside;
};

void TestHostileArchives::initTestCase()
{
    QVERIFY(QDir().mkpath(installRoot()));
    m_outside = outsideInstallRoot();
}

void TestHostileArchives::init()
{
    QDir(installRoot()).removeRecursively();
    QDir().mkpath(installRoot());
    QFile::remove(archivePath());
}

void TestHostileArchives::truncatedAtEveryRegion_data()
{
    QTest::addColumn<QString>("region");
    QTest::addColumn<int>("offsetInRegion"); // from the region's start; -1: its middle

    for (const char *region : {"first local header", "first data", "second local header",
                               "second data", "central directory", "end record"}) {
        QTest::addRow("%s, first byte", region) << QString(region) << 0;
        QTest::addRow("%s, inside", region) << QString(region) << 5;
        QTest::addRow("%s, middle", region) << QString(region) << -1;
    }
}

// An archive cut anywhere has lost its end record: it is refused as a whole.
void TestHostileArchives::truncatedAtEveryRegion()
{
    QFETCH(QString, region);
    QFETCH(int, offsetInRegion);

    const QByteArray whole =
        ZipBuilder().addFile("repo/first.txt", firstContent).addStoredFile("repo/second.txt",
                                                                          secondContent).bytes();
    const RawZip::Layout layout = RawZip::layout(whole);
    QVERIFY(layout.valid);
    const QMap<QString, QPair<qsizetype, qsizetype>> regions{
        {"first local header", {layout.localHeaders[0], layout.dataStarts[0]}},
        {"first data", {layout.dataStarts[0], layout.localHeaders[1]}},
        {"second local header", {layout.localHeaders[1], layout.dataStarts[1]}},
        {"second data", {layout.dataStarts[1], layout.centralStart}},
        {"central directory", {layout.centralStart, layout.endRecord}},
        {"end record", {layout.endRecord, whole.size()}},
    };
    const auto [start, end] = regions.value(region);
    const qsizetype cut = offsetInRegion >= 0 ? start + offsetInRegion : (start + end) / 2;
    QVERIFY(cut >= start && cut < end);
    QVERIFY(writeArchive(whole.left(cut)));

    LogCollector log;
    QVERIFY(!ZipExtractor::extractZip(archivePath()));
    QVERIFY(!log.contains("ZIP extraction completed!"));
    QVERIFY(!QFileInfo::exists(installRoot() + "/repo/second.txt"));
    QCOMPARE(outsideInstallRoot(), m_outside);
}

void TestHostileArchives::damagedRecords_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<bool>("result");
    // What the first entry's file holds afterwards (<missing>: not written).
    QTest::addColumn<QByteArray>("first");

    using namespace RawZip;
    // Both headers of entry i changed alike, so only the content can give the lie away.
    const auto both = [](int i, qsizetype localField, qsizetype centralField, quint32 value) {
        return [=](QByteArray &a, const Layout &l) {
            write32(a, l.localHeaders[i] + localField, value);
            write32(a, l.centralHeaders[i] + centralField, value);
        };
    };
    const quint32 firstSize = quint32(firstContent.size());

    QTest::newRow("intact") << Mutation([](QByteArray &, const Layout &) {}) << true
                            << firstContent;
    QTest::newRow("size declared smaller")
        << Mutation(both(0, localUncompressed, centralUncompressed, firstSize / 2)) << false
        << firstContent.left(firstSize / 2);
    // Flagged encrypted, or bzip2 (12) in place of deflate: refused before the file is made.
    const auto both16 = [](qsizetype localField, qsizetype centralField, quint16 value) {
        return [=](QByteArray &a, const Layout &l) {
            write16(a, l.localHeaders[0] + localField, value);
            write16(a, l.centralHeaders[0] + centralField, value);
        };
    };
    QTest::newRow("encrypted") << Mutation(both16(6, 8, 1)) << false << QByteArray("<missing>");
    QTest::newRow("unreadable method")
        << Mutation(both16(8, 10, 12)) << false << QByteArray("<missing>");
    QTest::newRow("size declared 3 GiB")
        << Mutation(both(0, localUncompressed, centralUncompressed, 3u << 30)) << false
        << firstContent;
    QTest::newRow("compressed size smaller")
        << Mutation([](QByteArray &a, const Layout &l) {
               const quint32 real = read32(a, l.centralHeaders[0] + centralCompressed);
               write32(a, l.localHeaders[0] + localCompressed, real / 2);
               write32(a, l.centralHeaders[0] + centralCompressed, real / 2);
           })
        << false << QByteArray("<any>");
    QTest::newRow("local header disagrees with central directory")
        << Mutation([](QByteArray &a, const Layout &l) {
               write32(a, l.localHeaders[0] + localUncompressed, 7);
           })
        << false << QByteArray("<missing>");
    QTest::newRow("local header offset past the end")
        << Mutation([](QByteArray &a, const Layout &l) {
               write32(a, l.centralHeaders[1] + 42, quint32(a.size() + 100));
           })
        << false << firstContent;
    QTest::newRow("central directory past the end")
        << Mutation([](QByteArray &a, const Layout &l) {
               write32(a, l.endRecord + endCentralOffset, quint32(a.size() + 100));
           })
        << false << QByteArray("<missing>");
    QTest::newRow("central directory size past the end")
        << Mutation([](QByteArray &a, const Layout &l) {
               write32(a, l.endRecord + endCentralSize, 0x7fffffff);
           })
        << false << QByteArray("<missing>");
    // The walk reaches a damaged second record: not the end of the archive, a failure.
    QTest::newRow("second central record damaged")
        << Mutation([](QByteArray &a, const Layout &l) { a[l.centralHeaders[1]] = 'X'; })
        << false << firstContent;
    QTest::newRow("more entries declared than recorded")
        << Mutation([](QByteArray &a, const Layout &l) {
               write16(a, l.endRecord + endEntriesOnDisk, 3);
               write16(a, l.endRecord + endEntries, 3);
           })
        << false << firstContent;
}

void TestHostileArchives::damagedRecords()
{
    QFETCH(Mutation, mutation);
    QFETCH(bool, result);
    QFETCH(QByteArray, first);

    QByteArray archive = RawZip::archive({RawZip::entry("repo/first.txt", firstContent),
                                          RawZip::entry("repo/second.txt", secondContent, false)});
    const RawZip::Layout layout = RawZip::layout(archive);
    QVERIFY(layout.valid);
    mutation(archive, layout);
    QVERIFY(writeArchive(archive));

    LogCollector log;
    QCOMPARE(ZipExtractor::extractZip(archivePath()), result);
    QCOMPARE(log.contains("ZIP extraction completed!"), result);
    if (first != "<any>")
        QCOMPARE(installed("repo/first.txt"), first);
    if (result)
        QCOMPARE(installed("repo/second.txt"), secondContent);
    QCOMPARE(outsideInstallRoot(), m_outside);
}

// A gigabyte of zeros in a megabyte: extracted while the disk takes it, then the entry fails
// cleanly and the walk stops; the entry before it stays.
void TestHostileArchives::bombStopsAtAFullDisk()
{
    const qint64 gigabyte = qint64(1) << 30;
    QVERIFY(RawZip::writeZeroBomb(archivePath(), RawZip::entry("repo/before.txt", "before"),
                                  "repo/bomb.bin", gigabyte, 0,
                                  RawZip::entry("repo/after.txt", "after")));
    QVERIFY(QFileInfo(archivePath()).size() < 2 * 1024 * 1024);

    const rlim_t limit = 4 * 1024 * 1024;
    LogCollector log;
    bool extracted = true;
    {
        FileSizeLimit fullDisk(limit);
        QVERIFY(fullDisk.active());
        extracted = ZipExtractor::extractZip(archivePath());
    }
    QVERIFY(!extracted);
    QVERIFY(log.contains("Error writing to file. Bytes written:", true));
    QVERIFY(log.contains("Failed to extract one or more files."));
    QCOMPARE(installed("repo/before.txt"), QByteArray("before"));
    const qint64 written = QFileInfo(installRoot() + "/repo/bomb.bin").size();
    QVERIFY2(written > 0 && written <= qint64(limit), QByteArray::number(written));
    QVERIFY(!QFileInfo::exists(installRoot() + "/repo/after.txt"));
}

// The header promises 3 GiB, the stream holds 16 MiB: all of it is written, and the entry
// fails because it ended short.
void TestHostileArchives::bombDeclaringMoreThanItHolds()
{
    const qint64 holds = 16 * 1024 * 1024;
    QVERIFY(RawZip::writeZeroBomb(archivePath(), RawZip::entry("repo/before.txt", "before"),
                                  "repo/bomb.bin", holds, 3u << 30,
                                  RawZip::entry("repo/after.txt", "after")));

    LogCollector log;
    QVERIFY(!ZipExtractor::extractZip(archivePath()));
    QVERIFY(!log.contains("ZIP extraction completed!"));
    QCOMPARE(QFileInfo(installRoot() + "/repo/bomb.bin").size(), holds);
    QVERIFY(!QFileInfo::exists(installRoot() + "/repo/after.txt"));
}

void TestHostileArchives::oddNames_data()
{
    QTest::addColumn<QList<QByteArray>>("names"); // '#' stands for a NUL byte
    QTest::addColumn<QList<QByteArray>>("contents");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("path");    // a file expected afterwards ("": none)
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("duplicate names: the last wins")
        << QList<QByteArray>{"repo/same.txt", "repo/same.txt"}
        << QList<QByteArray>{"first", "second"} << true << "repo/same.txt"
        << QByteArray("second");
    QTest::newRow("file over a folder entry of the same name")
        << QList<QByteArray>{"repo/x/", "repo/x"} << QList<QByteArray>{"", "data"} << true
        << "" << QByteArray();
    QTest::newRow("entry below a file")
        << QList<QByteArray>{"repo/x", "repo/x/y"} << QList<QByteArray>{"file", "below"}
        << false << "repo/x" << QByteArray("file");
    QTest::newRow("NUL ends the name")
        << QList<QByteArray>{"repo/a.txt#../../../escaped.txt"} << QList<QByteArray>{"a"}
        << true << "repo/a.txt" << QByteArray("a");
    QTest::newRow("NUL first")
        << QList<QByteArray>{"#repo/hidden.txt"} << QList<QByteArray>{"hidden"} << true << ""
        << QByteArray();
    QTest::newRow("backslashes stay inside")
        << QList<QByteArray>{"repo\\sub\\file.txt"} << QList<QByteArray>{"b"} << true << ""
        << QByteArray();
    QTest::newRow("very long name")
        << QList<QByteArray>{"repo/" + QByteArray(5000, 'n')} << QList<QByteArray>{"x"} << false
        << "" << QByteArray();
    QTest::newRow("deep path")
        << QList<QByteArray>{"repo/" + QByteArray("d/").repeated(500) + "f"}
        << QList<QByteArray>{"deep"} << true << "repo/" + QString("d/").repeated(500) + "f"
        << QByteArray("deep");
    QTest::newRow("path longer than the system takes")
        << QList<QByteArray>{"repo/" + (QByteArray(200, 'd') + "/").repeated(25) + "f"}
        << QList<QByteArray>{"deep"} << false << "" << QByteArray();
}

void TestHostileArchives::oddNames()
{
    QFETCH(QList<QByteArray>, names);
    QFETCH(QList<QByteArray>, contents);
    QFETCH(bool, result);
    QFETCH(QString, path);
    QFETCH(QByteArray, content);

    QList<RawZip::Entry> entries;
    for (int i = 0; i < names.size(); ++i) {
        RawZip::Entry entry = RawZip::entry(names[i], contents[i]);
        entry.name.replace('#', '\0');
        entries.append(entry);
    }
    QVERIFY(writeArchive(RawZip::archive(entries)));

    LogCollector log;
    QCOMPARE(ZipExtractor::extractZip(archivePath()), result);
    if (!path.isEmpty())
        QCOMPARE(installed(path), content);
    QCOMPARE(outsideInstallRoot(), m_outside);
    QVERIFY(!QFileInfo::exists(QDir::current().absoluteFilePath("../escaped.txt")));
}

VELTRO_TEST_MAIN(TestHostileArchives)
#include "tst_hostilearchives.moc"
