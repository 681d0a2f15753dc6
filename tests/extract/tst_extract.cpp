#include "extract/filenames.h"
#include "extract/zipextractor.h"

#include "launcherrun.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDirIterator>
#include <QFileInfo>
#include <QtTest>

#include <memory>

namespace {
QString root()
{
    return LauncherRun::installRoot();
}

QByteArray installed(const QString &relative)
{
    QFile file(root() + "/" + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every path of the sandbox outside the install root.
QStringList outsideInstallRoot()
{
    QStringList paths;
    QDirIterator it(TestEnvironment::instance()->root(),
                    QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(root()))
            paths << path;
    }
    paths.sort();
    return paths;
}
} // namespace

// Extracting an archive into the install root: what is written, what is refused, and that a
// failing entry fails the archive.
class TestExtract : public QObject
{
    Q_OBJECT

private slots:
    // The name rules themselves; the extraction rows below check that the extractor follows them.
    void fileNameRules_data()
    {
        using V = FileNames::EntryVerdict;
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("entry"); // the verdict on the name as an archive entry
        QTest::addColumn<bool>("repo"); // accepted as a repository name
        const auto row = [](const QString &name, V entry, bool repo) {
            QTest::newRow(qPrintable(name)) << name << int(entry) << repo;
        };
        // Windows' devices, in any case, with an extension, before blanks.
        for (const char *name : {"CON", "con.txt", "PRN", "AUX", "NUL", "nul.tar.gz", "Com1",
                                 "COM0", "LPT9", "lpt\u00b9", "aux .h", "CONIN$", "conout$.log"})
            row(QString::fromUtf8(name), V::Unsafe, false);
        for (const char *name : {"console.txt", "COM10", "LPTX", "connect", "nul-device"})
            row(name, V::Install, true);
        // Characters Windows refuses; endings it drops.
        for (const char *name :
             {"ab:c", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "tab\tx", "notes.", "trailing "})
            row(name, V::Unsafe, false);
        row(QString("a") + QChar(0) + "b", V::Unsafe, false);
        row(".", V::Install, true);
        row("v1..2", V::Install, true);
        // Entry paths: both separators, each part checked.
        for (const char *name :
             {"..", "...", ".. ", "../x", "..\\x", "/x", "\\x", "C:/x", "c:x", "a/..\\..\\x",
              "repo/..", "a/.. /.. /x", "repo/.../x", "../.gitattributes/x"})
            row(name, QByteArray(name).contains("gitattributes") ? V::Skip : V::OutsideRoot, false);
        for (const char *name :
             {"repo/CON", "repo/aux/x.txt", "repo\\nul.txt", "repo/dir /x", "repo/a?b"})
            row(name, V::Unsafe, false);
        for (const char *name : {"repo/v1..2/n..txt", "repo/./one.txt", "repo/.GITATTRIBUTES",
                                 "repo/.gitattribute", "repo/launcher.log"})
            row(name, V::Install, false);
        for (const char *name :
             {".gitattributes", "repo/sub/.gitattributes", "notes.gitattributes.txt"})
            row(name, V::Skip, !QByteArray(name).contains('/'));
        // The launcher's own files at the top of the install root; as repository names they
        // only name files in the working directory.
        for (const char *name :
             {"launcher.log", "Launcher.LOCK", "launcher.1.log", ".veltro-update"})
            row(name, V::Unsafe, true);
        for (const char *name : {"./launcher.log", "launcher.lock/x", ".veltro-update/new/a"})
            row(name, V::Unsafe, false);
    }

    void fileNameRules()
    {
        QFETCH(QString, name);
        QFETCH(int, entry);
        QFETCH(bool, repo);
        QCOMPARE(int(FileNames::entryVerdict(name)), entry);
        QCOMPARE(FileNames::isSafeRepoName(name), repo);
    }

    void init()
    {
        m_run.reset(); // one log collector at a time
        m_run = std::make_unique<LauncherRun>();
    }

    void archiveCannotBeWalked_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::addColumn<QString>("failure");
        const QString open = "Failed to open zip file: \"a.zip\"";
        QTest::newRow("missing") << QByteArray() << open;
        QTest::newRow("not an archive") << QByteArray("just text") << open;
        const QByteArray whole = ZipBuilder().addFile("repo/a.txt", "a").bytes();
        QTest::newRow("cut short") << whole.left(whole.lastIndexOf("PK\x01\x02") + 10) << open;
        // Behind a preamble: Debian's minizip finds no end record at offset 0 of an empty archive.
        QTest::newRow("no entries")
            << "preamble" + ZipBuilder().bytes() << "Failed to go to first file in zip.";
        // The walk reaches a damaged second record: not the end of the archive, a failure.
        QByteArray damaged =
            ZipBuilder().addFile("repo/a.txt", "a").addFile("repo/b.txt", "b").bytes();
        damaged[damaged.lastIndexOf("PK\x01\x02") + 3] = 'X';
        QTest::newRow("damaged directory record") << damaged << "Failed to go to next file in zip.";
    }

    void archiveCannotBeWalked()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, failure);
        if (!content.isNull())
            QVERIFY(LauncherRun::writeFile("a.zip", content));
        QVERIFY(!ZipExtractor::extractZip("a.zip"));
        QCOMPARE(m_run->log.lines().last(), failure);
    }

    void failingEntry_data()
    {
        // repo/a.txt, then repo/b.txt (or repo/b/c.txt), then repo/c.txt
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("failure"); // the start of the line that names it

        const auto archive =
            [](bool deflate, const QByteArray &name = "repo/b.txt",
               const QByteArray &data = QByteArray("some text of b, ").repeated(300)) {
                return ZipBuilder()
                    .addFile("repo/a.txt", "content of a")
                    .add({name, data, deflate, 0})
                    .addFile("repo/c.txt", "content of c")
                    .bytes();
            };
        QTest::newRow("output file cannot be opened") << archive(true) << "dangling link"
                                                      << "Failed to open output file for writing:";
        QTest::newRow("write fails") << archive(true) << "full disk"
                                     << "Error writing to file.";
        QTest::newRow("folder cannot be made")
            << archive(true, "repo/b/c.txt") << "file in place of folder"
            << "Failed to create directory for";
        // Small entries are inflated in one piece, large ones (over 8 MiB) streamed.
        const QByteArray large = LauncherRun::noise(1 << 20, "b") + QByteArray(9 << 20, 'b');
        for (const QByteArray &data : {QByteArray("some text of b, ").repeated(300), large}) {
            for (const bool deflate : {false, true}) {
                const auto row = [&](const char *what, ZipBuilder::Field field,
                                     quint32 value) -> QTestData & {
                    QByteArray damaged = archive(deflate, "repo/b.txt", data);
                    ZipBuilder::patch(damaged, 1, field, value);
                    return QTest::addRow("%s, %d bytes, deflate %d", what, int(data.size()),
                                         deflate)
                           << damaged << "";
                };
                row("CRC mismatch", ZipBuilder::Crc, 0x12345678)
                    << "Checksum mismatch in file from zip:";
                row("data shorter than the header", ZipBuilder::UncompressedSize, data.size() + 10)
                    << "Incomplete data of file from zip:";
                row("data longer than the header", ZipBuilder::UncompressedSize, data.size() - 2)
                    << "Checksum mismatch in file from zip:";
            }
        }
        QByteArray encrypted = archive(true);
        ZipBuilder::patch(encrypted, 1, ZipBuilder::Flags, 1);
        QTest::newRow("encrypted") << encrypted << ""
                                   << "Failed to open file from zip:";
        QByteArray bzip2 = archive(true);
        ZipBuilder::patch(bzip2, 1, ZipBuilder::Method, 12);
        QTest::newRow("unknown method") << bzip2 << ""
                                        << "Failed to open file from zip:";
    }

    void failingEntry()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, obstacle);
        QFETCH(QString, failure);
        QVERIFY(QDir().mkpath(root() + "/repo"));
        if (obstacle == "dangling link")
            QVERIFY(QFile::link(root() + "/no/such/folder/file", root() + "/repo/b.txt"));
        else if (obstacle == "full disk")
            QVERIFY(QFile::link("/dev/full", root() + "/repo/b.txt"));
        else if (obstacle == "file in place of folder")
            QVERIFY(LauncherRun::writeFile(root() + "/repo/b", "a file"));
        QVERIFY(LauncherRun::writeFile("repo.zip", archive));

        QVERIFY(!ZipExtractor::extractZip("repo.zip"));
        QVERIFY2(m_run->log.contains(failure, true), qPrintable(m_run->log.lines().join('\n')));
        QCOMPARE(m_run->log.lines().last(), "Failed to extract one or more files.");
        QCOMPARE(installed("repo/a.txt"), QByteArray("content of a"));
        QVERIFY(!QFileInfo::exists(root() + "/repo/c.txt"));
    }

    void entryNames_data()
    {
        QTest::addColumn<QByteArray>("name"); // '#' stands for a NUL byte
        QTest::addColumn<QString>("path"); // what is written ("": nothing), "refused" or "unsafe"
        // Names that would reach outside the install root.
        for (const char *name : {"..", "...", ".. ", "../x", "..\\x", "/x", "\\x", "C:/x", "c:x",
                                 "a/..\\..\\x", "repo/..", "a/.. /.. /x", "repo/.../x"})
            QTest::newRow(name) << QByteArray(name) << "refused";
        QTest::newRow("dots inside names")
            << QByteArray("repo/v1..2/n..txt") << "repo/v1..2/n..txt";
        QTest::newRow("one dot") << QByteArray("repo/./one.txt") << "repo/one.txt";
        QTest::newRow("NUL ends the name") << QByteArray("repo/a.txt#../../x") << "repo/a.txt";
        QTest::newRow("NUL first") << QByteArray("#repo/hidden.txt") << "";
        // Git's attribute files are left out, by a name that holds the word in its case.
        QTest::newRow(".gitattributes") << QByteArray("repo/sub/.gitattributes") << "";
        QTest::newRow("inside a name") << QByteArray("repo/notes.gitattributes.txt") << "";
        QTest::newRow("other letter case")
            << QByteArray("repo/.GITATTRIBUTES") << "repo/.GITATTRIBUTES";
        // Names Windows refuses, or reads as another file, are refused on every system.
        for (const char *name : {"repo/a:b.txt", "repo/NUL", "repo/nul.txt", "repo/Com1",
                                 "repo/lpt9/x.txt", "repo/aux .h", "repo/notes.", "repo/dir /x",
                                 "repo/a<b", "repo/a|b", "repo/a?b", "repo/a*b", "repo/a>b"})
            QTest::newRow(name) << QByteArray(name) << "unsafe";
        QTest::newRow("device name as a part")
            << QByteArray("repo/console.txt") << "repo/console.txt";
        QTest::newRow("device number out of range") << QByteArray("repo/COM10") << "repo/COM10";
    }

    void entryNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, path);
        QByteArray archive = ZipBuilder()
                                 .addStoredFile("repo/before.txt", "before")
                                 .addStoredFile(name, "payload")
                                 .addStoredFile("repo/after.txt", "after")
                                 .bytes();
        archive.replace(name, QByteArray(name).replace('#', '\0')); // in both headers
        QVERIFY(LauncherRun::writeFile("repo.zip", archive));
        const QStringList outside = outsideInstallRoot();

        const bool extracted = ZipExtractor::extractZip("repo.zip");
        QCOMPARE(outsideInstallRoot(), outside);
        QCOMPARE(installed("repo/before.txt"), QByteArray("before"));
        if (path == "refused" || path == "unsafe") {
            QVERIFY(!extracted);
            const QString refusal = QString(path == "refused"
                                                ? "Refusing entry outside the install folder: \""
                                                : "Refusing entry with an unsafe name: \"")
                                    + QString::fromUtf8(name).replace("\\", "\\\\") + "\"";
            QVERIFY2(m_run->log.contains(refusal), qPrintable(m_run->log.lines().join('\n')));
            QVERIFY(!QFileInfo::exists(root() + "/repo/after.txt"));
            return;
        }
        QVERIFY(extracted);
        if (!path.isEmpty())
            QCOMPARE(installed(path), QByteArray("payload"));
        else
            QCOMPARE(QDir(root() + "/repo")
                         .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     (QStringList{"after.txt", "before.txt"}));
        QCOMPARE(installed("repo/after.txt"), QByteArray("after"));
    }

    // A link entry is installed as a file holding its target, as Git makes archives of a
    // repository with a link; no link is made, so a later entry cannot pass through one.
    void symbolicLinksBecomeFiles()
    {
        QVERIFY(LauncherRun::writeFile("repo.zip", ZipBuilder()
                                                       .addFile("repo/lib.so.1", "library")
                                                       .addSymlink("repo/lib.so", "lib.so.1")
                                                       .addSymlink("repo/up", "../..")
                                                       .addFile("repo/up/escaped.txt", "payload")
                                                       .bytes()));
        const QStringList outside = outsideInstallRoot();
        QVERIFY(!ZipExtractor::extractZip("repo.zip"));
        QVERIFY(m_run->log.contains("Writing symbolic link entry as a file: \"repo/lib.so\""));
        QVERIFY(!QFileInfo(root() + "/repo/lib.so").isSymLink());
        QCOMPARE(installed("repo/lib.so"), QByteArray("lib.so.1"));
        QCOMPARE(installed("repo/up"), QByteArray("../.."));
        QCOMPARE(outsideInstallRoot(), outside);
    }

    void largeEntryStreamed()
    {
        const QByteArray data = LauncherRun::noise(1 << 20, "l")
                                + QByteArray("text ").repeated(2 << 20);
        QVERIFY(
            LauncherRun::writeFile("repo.zip", ZipBuilder().addFile("repo/l.bin", data).bytes()));
        QVERIFY(ZipExtractor::extractZip("repo.zip"));
        QCOMPARE(installed("repo/l.bin"), data);
    }

    void longNamesKeptWhole()
    {
        // Two names of 314 bytes that agree in their first 256.
        const QByteArray folder = "repo/" + QByteArray(150, 'a') + "/" + QByteArray(150, 'b') + "/";
        QVERIFY(ZipBuilder()
                    .addFile(folder + "one.txt", "one")
                    .addFile(folder + "two.txt", "two")
                    .write("repo.zip"));
        QVERIFY(ZipExtractor::extractZip("repo.zip"));
        QCOMPARE(installed(QString::fromUtf8(folder + "one.txt")), QByteArray("one"));
        QCOMPARE(installed(QString::fromUtf8(folder + "two.txt")), QByteArray("two"));
    }

    void unixModes_data()
    {
        using P = QFileDevice;
        QTest::addColumn<quint32>("mode");
        QTest::addColumn<int>("expected"); // 0: as a new file gets
        QTest::newRow("program") << quint32(0100755)
                                 << int(P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup
                                        | P::ExeGroup | P::ReadOther | P::ExeOther);
        // Read-only files would block the next update: the owner keeps write access.
        QTest::newRow("read-only")
            << quint32(0100444) << int(P::ReadOwner | P::WriteOwner | P::ReadGroup | P::ReadOther);
        QTest::newRow("made on Windows") << quint32(0) << 0;
    }

    void unixModes()
    {
        QFETCH(quint32, mode);
        QFETCH(int, expected);
        QVERIFY(ZipBuilder().addFile("repo/bin/run", "#!/bin/sh\n", mode).write("repo.zip"));
        QVERIFY(ZipExtractor::extractZip("repo.zip"));
        QVERIFY(ZipExtractor::extractZip("repo.zip")); // over the first copy
        const int modeBits = 0x7077; // owner, group, other; Qt's "user" bits repeat the owner's
        if (!expected) {
            QVERIFY(LauncherRun::writeFile(root() + "/fresh", "x"));
            expected = int(QFile::permissions(root() + "/fresh")) & modeBits;
        }
        QCOMPARE(int(QFile::permissions(root() + "/repo/bin/run")) & modeBits, expected);
    }

private:
    std::unique_ptr<LauncherRun> m_run; // a clean working directory and install root, the log
};

VELTRO_TEST_MAIN(TestExtract)
#include "tst_extract.moc"
