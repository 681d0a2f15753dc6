#include "extract/filenames.h"
#include "extract/stagedinstall.h"
#include "extract/zipextractor.h"

#include "launcherrun.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

using Tree = QMap<QString, QByteArray>; // path below a folder: content or "<dir>"
Q_DECLARE_METATYPE(ZipBuilder::Form)
using V = FileNames::EntryVerdict;

namespace {
const auto tree = LauncherRun::tree;

// A tree from "path=content" texts.
Tree files(std::initializer_list<QByteArray> texts)
{
    Tree tree;
    for (const QByteArray &text : texts)
        tree[QString::fromUtf8(text.left(text.indexOf('=')))] = text.mid(text.indexOf('=') + 1);
    return tree;
}

// The installed version every row starts from, beside the launcher's own files.
const Tree earlier = files({"launcher.lock=4242", "launcher.log=a line", "repo=<dir>",
                            "repo/a.txt=old a", "repo/b.txt=old b", "repo/keep.txt=kept"});

// New repo/a.txt and repo/new/n.txt, then the given entries.
QByteArray update(std::initializer_list<ZipBuilder::Entry> more = {},
                  const ZipBuilder::Form &form = ZipBuilder::Form())
{
    ZipBuilder zip;
    zip.addFile("repo/a.txt", "new a").addStoredFile("repo/new/n.txt", "n");
    for (const ZipBuilder::Entry &entry : more)
        zip.add(entry);
    return zip.bytes(form);
}

using Z = ZipBuilder;
using S = ExtractionResult;

#ifdef Q_OS_WIN
// A handle as a running program holds its file: others may read it and, when asked, rename it;
// nobody may write it.
std::shared_ptr<void> hold(const QString &path, bool renamable)
{
    return {CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_READ, FILE_SHARE_READ | (renamable ? FILE_SHARE_DELETE : 0),
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
            CloseHandle};
}
#endif
} // namespace

// Extracting an archive into the install root, all or nothing: what is written, what is
// refused, and that a failing archive leaves the installed version as it was.
class TestExtract : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir(m_root).removeRecursively();
        QDir(m_sandbox + "/José Silva").removeRecursively();
        QFile::remove("repo.zip");
        StagedInstall::replaceHook = nullptr;
        m_log.reset(); // installed after QtTest's own message handler
        m_log = std::make_unique<LogCollector>();
    }
    // Handed back while QtTest's handler is still the one to return to: a collector outliving
    // the test run would pass later messages to a log that has ended.
    void cleanupTestCase() { m_log.reset(); }

    // The name rules themselves; the rows below check that the extractor follows them.
    void fileNameRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("entry"); // the verdict on the name as an archive entry
        QTest::addColumn<bool>("repo"); // accepted as a repository name
        const auto rows = [](V entry, bool repo, std::initializer_list<const char *> names) {
            for (const char *name : names)
                QTest::newRow(name) << QString::fromUtf8(name) << int(entry) << repo;
        };
        // Windows' devices, its forbidden characters, the dots and blanks it drops from the end.
        rows(V::Unsafe, false,
             {"CON",  "con.txt",   "PRN",    "AUX",    "NUL",         "nul.tar.gz", "Com1", "COM0",
              "LPT9", "lpt\u00b9", "aux .h", "CONIN$", "conout$.log", "ab:c",       "a<b",  "a>b",
              "a\"b", "a|b",       "a?b",    "a*b",    "tab\tx",      "x.",         "x "});
        QTest::newRow("NUL inside") << QString("a") + QChar(0) + "b" << int(V::Unsafe) << false;
        rows(V::Install, true, {"console.txt", "COM10", "LPTX", "nul-device", ".", "v1..2"});
        // Entry paths: both separators, each part checked.
        rows(V::OutsideRoot, false,
             {"..", "...", ".. ", "../x", "..\\x", "/x", "\\x", "C:/x", "c:x", "a/..\\..\\x",
              "r/..", "a/.. /.. /x", "r/.../x"});
        rows(V::Unsafe, false, {"r/CON", "r/aux/x.txt", "r\\nul.txt", "r/dir /x"});
        rows(V::Install, false,
             {"r/v1..2/n..txt", "r/./one", "r/.GITATTRIBUTES", "r/.gitattribute"});
        rows(V::Skip, true, {".gitattributes", "x.gitattributes.txt"});
        rows(V::Skip, false, {"r/s/.gitattributes", "../.gitattributes"});
        // The launcher's own files at the top of the install root (a repository name only names
        // files in the working directory).
        rows(V::Unsafe, true,
             {"launcher.log", "Launcher.LOCK", "launcher.1.log", ".veltro-update"});
        rows(V::Unsafe, false, {"./launcher.log", "launcher.lock/x", ".veltro-update/new/a"});
        rows(V::Install, false, {"r/launcher.log"});
    }

    void fileNameRules()
    {
        QFETCH(QString, name);
        QFETCH(int, entry);
        QFETCH(bool, repo);
        QCOMPARE(int(FileNames::entryVerdict(name)), entry);
        QCOMPARE(FileNames::isSafeRepoName(name), repo);
    }

    void extract_data()
    {
        QTest::addColumn<QByteArray>("archive"); // null: no file at all
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("failure"); // the start of the line that tells it; "": none
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("detail"); // the entry or file the failure names
        QTest::addColumn<bool>("early");     // failed before any entry is extracted
        QTest::addColumn<Tree>("changes");   // to the earlier version, when installed
        const auto fails = [](const char *name, const QByteArray &archive, const char *failure,
                              const char *detail, const char *obstacle = "",
                              S::Status status = S::Damaged, bool early = false) {
            QTest::newRow(name) << archive << obstacle << failure << int(status) << detail << early
                                << Tree();
        };
        const auto early = [&](const char *name, const QByteArray &archive, const char *failure,
                               const char *detail) {
            fails(name, archive, failure, detail, "", S::Damaged, true);
        };
        const auto installs = [](const char *name, const QByteArray &archive, const Tree &more,
                                 const QString &obstacle = {}) {
            Tree changes = files({"repo/a.txt=new a", "repo/new=<dir>", "repo/new/n.txt=n"});
            changes.insert(more);
            QTest::newRow(name) << archive << obstacle << QString() << int(S::Extracted)
                                << QString() << false << changes;
        };
        const auto entry = [](const char *name, const QByteArray &data = "c") {
            return update({{name, data, true, 0}});
        };
        fails("missing", {}, "Failed to open zip file:", "repo.zip", "", S::Missing);
        fails("not a zip", "no archive here", "Failed to open zip file:", "repo.zip");
        // Behind a preamble: Debian's minizip finds no end record at offset 0 of an empty archive.
        fails("no entries", "preamble" + ZipBuilder().bytes(), "Failed to go to first file in zip.",
              "repo.zip");
        // The walk reaches a damaged record: not the end of the archive, a failure.
        QByteArray damaged = update();
        damaged[damaged.lastIndexOf("PK\x01\x02") + 3] = 'X';
        early("damaged directory record", damaged, "Failed to go to next file in zip.", "repo.zip");
        const QByteArray text = QByteArray("some text of c, ").repeated(300);
        const auto unwritten = [&](const char *name, const QByteArray &archive, const char *failure,
                                   const char *detail, const char *obstacle = "") {
            fails(name, archive, failure, detail, obstacle, S::WriteFailed);
        };
        unwritten("write fails", entry("repo/c", text), "Error writing to file.", "repo/c",
                  "full disk");
        const char *dir = "Failed to create directory for",
                   *file = "Failed to open output file for writing:";
        unwritten("file in place of folder", entry("repo/b.txt/c"), dir, "repo/b.txt/c");
        unwritten("staged folder in place of file", entry("repo/new"), file, "repo/new");
        unwritten("installed folder in place of file", entry("repo/c"), file, "repo/c", "folder");
        const QByteArray tooLong = "repo/" + QByteArray(300, 'n'); // for one part of a path
        unwritten("name too long", entry(tooLong), file, tooLong);
        unwritten("through a link",
                  update({{"r/up", "..", false, 0120777}, {"r/up/x", "", true, 0}}), dir, "r/up/x");
        // Windows sees one file or folder where the archive holds two.
        const char *caseOnly = "Refusing entry that differs only in letter case from another:";
        fails("letter case of a file", entry("repo/A.TXT"), caseOnly, "repo/A.TXT");
        fails("letter case of a folder", entry("Repo/x"), caseOnly, "Repo/x");
        fails("outside", entry("a/..\\x"), "Refusing entry outside the install folder:", "a/..\\x");
        for (const char *name : {"repo/CON", "launcher.lock", "./launcher.log"})
            fails(name, entry(name), "Refusing entry with an unsafe name:", name);
        // Small entries are inflated in one piece, large ones (over 8 MiB) streamed.
        const QByteArray large = LauncherRun::noise(1 << 20, "c") + QByteArray(9 << 20, 'c');
        const auto bad = [&](const QByteArray &data, bool deflate, ZipBuilder::Field field,
                             quint32 value, const char *failure) {
            QByteArray archive = update({{"repo/c", data, deflate, 0}});
            ZipBuilder::patch(archive, 2, field, value);
            fails(qPrintable(
                      QString("%1 %2 %3 %4").arg(failure).arg(data.size()).arg(deflate).arg(value)),
                  archive, failure, "repo/c");
        };
        for (const QByteArray &data : {text, large}) {
            for (const bool deflate : {false, true}) {
                bad(data, deflate, ZipBuilder::Crc, 1, "Checksum mismatch in file from zip:");
                bad(data, deflate, ZipBuilder::UncompressedSize, quint32(data.size() + 10),
                    "Incomplete data of file from zip:");
                bad(data, deflate, ZipBuilder::UncompressedSize, quint32(data.size() - 2),
                    "Checksum mismatch in file from zip:");
            }
        }
        bad(text, true, ZipBuilder::Flags, 1, "Failed to open file from zip:");   // encrypted
        bad(text, true, ZipBuilder::Method, 12, "Failed to open file from zip:"); // bzip2
        // All is staged; moving b.txt into place fails, so a.txt and new/ go back.
        const char *inUse = "Failed to replace file in use:";
        fails("replacement refused", entry("repo/b.txt"), inUse, "repo/b.txt", "refuse b",
              S::FileInUse);
        fails("file held by a program", entry("repo/b.txt"), inUse, "repo/b.txt", "hold b",
              S::FileInUse);
        // Two records of one local header, or data running into the next entry (its local extra
        // field made to look longer): the make of zip bombs, refused before any entry is
        // written, or the data's true place at the latest.
        const char *overlap = "Refusing overlapping entries in zip:";
        QByteArray twice = entry("repo/c", text), longer = twice;
        ZipBuilder::patch(twice, 2, ZipBuilder::HeaderOffset, 0);
        early("two records of one local header", twice, overlap, "repo/a.txt");
        ZipBuilder::patch(longer, 0, ZipBuilder::LocalExtraSize, 20);
        fails("data running into the next entry", longer, overlap, "repo/a.txt");

        // ZIP64 fields as other writers give them: Go every size (both of the central record's,
        // all three in the field), after streamed data too; 7-Zip and git an offset past 4 GiB;
        // Python sizes in the local header too. Only the fields a record gives as 0xFFFFFFFF
        // are in it, in their order. An extra field shorter than its own header is left alone.
        const QList<std::pair<const char *, Z::Form>>
            zip64{{"ZIP64 as Go writes it", {3, true}},
                  {"ZIP64 after streamed data", {3, true, false, true}},
                  {"ZIP64 offset", {Z::Offset}},
                  {"ZIP64 compressed size", {Z::Compressed}},
                  {"ZIP64 in both headers", {7, false, true}},
                  {"extra field shorter than its header", {}}};
        for (const auto &[name, form] : zip64)
            installs(name, update({{"repo/short", "s", true, 0, "ab"}}, form),
                     files({"repo/short=s"}));
        installs("behind a preamble", "preamble" + update(), {});
        installs("in a folder with a blank and accents", update(), {},
                 m_sandbox + "/José Silva/AppData/Local/Veltro Ação");
        installs("held by a running program, renamed aside", update(), {}, "hold a");
        // Git's attribute files left out; a name is text up to its first NUL (in both headers).
        installs("names, folders, an empty file",
                 update({{"repo/.gitattributes", "*"},
                         {"repo/s/x.gitattributes.y", ""},
                         {"repo/.GITATTRIBUTES", "G"},
                         {"repo/x#../../x", "x"},
                         {"#repo/h", "h"},
                         {"repo/d/", "", false},
                         {"repo/./one", "1"},
                         {"repo/v1..2/n..t", "2"},
                         {"repo/empty", ""},
                         {"repo/twice", "1"},
                         {"repo/./twice", "2"}})
                     .replace("x#", QByteArray("x\0", 2))
                     .replace("#repo", QByteArray("\0repo", 5)),
                 files({"repo/.GITATTRIBUTES=G", "repo/x=x", "repo/d=<dir>", "repo/one=1",
                        "repo/v1..2=<dir>", "repo/v1..2/n..t=2", "repo/empty=", "repo/twice=2"}));
        // Streamed (over 8 MiB), its progress told as it is written.
        const QByteArray big(20 << 20, 'p');
        installs("large entry", update({{"repo/big", big}}), files({"repo/big=" + big}));
        // Unix modes where the archive has them, the owner always keeping write access; a link
        // is a file holding its target, as Git writes links where it makes none.
        installs("modes and links",
                 update({{"repo/run", "#!", true, 0100755},
                         {"repo/ro", "r", true, 0100444},
                         {"repo/own", "o", true, 0100600},
                         {"repo/so", "so.1", false, 0120777}}),
                 files({"repo/run=<x>#!", "repo/ro=r", "repo/own=<private>o", "repo/so=so.1"}),
                 "modes");
        // Two names of 314 bytes that agree in their first 256.
        const QByteArray a = "repo/" + QByteArray(150, 'a'), b = a + "/" + QByteArray(150, 'b');
        installs("long names kept whole", update({{b + "/one", "1"}, {b + "/two", "2"}}),
                 files({a + "=<dir>", b + "=<dir>", b + "/one=1", b + "/two=2"}));
    }

    void extract()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, obstacle);
        QFETCH(QString, failure);
        QFETCH(int, status);
        QFETCH(QString, detail);
        QFETCH(bool, early);
        QFETCH(Tree, changes);
#ifdef Q_OS_WIN
        if (obstacle == "full disk" || obstacle == "modes")
            QSKIP("Windows has no file-size limit to stand for a full disk, nor Unix file modes");
        const bool held = obstacle.startsWith("hold");
        // Wine lets a file held without delete sharing be renamed; Windows does not.
        if (obstacle == "hold b" && TestEnvironment::underWine())
            QSKIP("Wine renames a file whose holder withholds delete sharing");
        auto handle = held
                          ? hold(m_root + "/repo/" + obstacle.back() + ".txt", obstacle == "hold a")
                          : nullptr;
#else
        if (obstacle.startsWith("hold"))
            QSKIP("Only Windows keeps a file that another program holds from being replaced");
        // Writes past the limit fail (EFBIG) instead of raising a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small = {obstacle == "full disk" ? 1024 : limit.rlim_cur, limit.rlim_max};
#endif
        const QString dir = obstacle.contains('/') ? obstacle : m_root;
        QVERIFY(QDir().mkpath(dir + "/repo")
                && (obstacle != "folder" || QDir().mkpath(dir + "/repo/c")));
        for (auto file = earlier.cbegin(); file != earlier.cend(); ++file)
            QVERIFY(*file == "<dir>" || LauncherRun::writeFile(dir + "/" + file.key(), *file));
        QVERIFY(archive.isNull() || LauncherRun::writeFile("repo.zip", archive));
        const Tree before = tree(m_sandbox);
        QList<std::pair<qint64, qint64>> reports;
        const auto report = [&](InstallPhase phase, qint64 done, qint64 total) {
            if (phase == InstallPhase::Extracting)
                reports.append({done, total});
        };
        QElapsedTimer clock;
        clock.start();
        StagedInstall::replaceHook = [&](const QString &target) {
            return obstacle != "refuse b" || !target.endsWith("/b.txt");
        };
#ifdef Q_OS_WIN
        const ExtractionResult result = ZipExtractor::extractInto("repo.zip", dir, {}, report);
#else
        setrlimit(RLIMIT_FSIZE, &small);
        const ExtractionResult result = ZipExtractor::extractInto("repo.zip", dir, {}, report);
        setrlimit(RLIMIT_FSIZE, &limit);
#endif
        if (!failure.isEmpty()) {
            QVERIFY2(m_log->contains(failure, true), qPrintable(m_log->lines().join('\n')));
            QCOMPARE(int(result.status), status);
            QVERIFY(!early || !m_log->contains("Extracting to:", true));
            QCOMPARE(result.detail,
                     status == S::FileInUse ? QDir::toNativeSeparators(detail) : detail);
            QCOMPARE(tree(m_sandbox), before);
            return;
        }
        QVERIFY2(result.ok(), qPrintable(m_log->lines().join('\n')));
        // Progress in bytes of the whole archive, up to its total; a large entry reports as it is
        // written, and not for every piece.
        QVERIFY(!reports.isEmpty());
        QCOMPARE(reports.last().first, reports.last().second);
        QVERIFY(reports.size() > qMin<qint64>(10, reports.last().second >> 20));
        QVERIFY(reports.size() <= 102 + clock.elapsed() / 100);
        for (int i = 1; i < reports.size(); ++i)
            QVERIFY(reports.at(i).first > reports.at(i - 1).first);
        Tree expected = earlier;
        expected.insert(changes);
        Tree installed = tree(dir);
#ifdef Q_OS_WIN
        // The held file may stay, renamed aside, until the next update.
        installed.removeIf(
            [&](Tree::iterator file) { return held && file.key().startsWith(".veltro-update"); });
        handle.reset();
#endif
        QCOMPARE(installed, expected);
        QVERIFY(ZipExtractor::extractInto("repo.zip", dir, {}).ok());
        QCOMPARE(tree(dir), expected);
    }

    // Past 4 GiB: an entry (a hole in the file) with ZIP64 sizes, and archives whose last entry
    // lies past 4 GiB (behind a hole) as git and 7-Zip, and Go, write them. The entry is read and
    // written in memory (/dev/shm) where there is room: on disk its 4 GiB take long.
    void largeArchives_data()
    {
        QTest::addColumn<quint64>("zeroMiB"); // in repo/big, after its one byte
        QTest::addColumn<ZipBuilder::Form>("form");
        QTest::newRow("entry over 4 GiB") << quint64(4096) << Z::Form{3, false, true};
        QTest::newRow("archive over 4 GiB")
            << quint64(0) << Z::Form{0, false, false, false, 4ll << 30};
        QTest::newRow("archive over 4 GiB, Go")
            << quint64(0) << Z::Form{3, true, false, true, 4ll << 30};
    }

    void largeArchives()
    {
        QFETCH(quint64, zeroMiB);
        QFETCH(ZipBuilder::Form, form);
        const QTemporaryDir memory("/dev/shm/veltro-XXXXXX");
        const qint64 zeros = qint64(zeroMiB << 20);
        const QString root = zeros > 0 ? memory.path() : m_root;
        if (zeros > 0 && (!memory.isValid() || QStorageInfo(root).bytesAvailable() < zeros * 2))
            QSKIP("No room to write the entries in memory");
        const QString archive = zeros > 0 ? memory.filePath("repo.zip") : "repo.zip";
        QVERIFY(ZipBuilder()
                    .addFile("repo/a.txt", "new a")
                    .add({"repo/big", "b", false, 0, {}, zeroMiB})
                    .write(archive, form));
        // The entries' size, ZIP64 sizes included; -1 without an archive.
        QCOMPARE(ZipExtractor::entriesSize(archive), zeros + 6);
        QCOMPARE(ZipExtractor::entriesSize("none.zip"), -1);
        const bool installed = ZipExtractor::extractInto(archive, root, {}).ok();
        const qint64 size = QFileInfo(root + "/repo/big").size();
        QDir(root + "/repo").removeRecursively();
        QFile::remove(archive);
        QVERIFY2(installed, qPrintable(m_log->lines().join('\n')));
        QCOMPARE(size, zeros + 1);
    }

private:
    const QString m_root = LauncherRun::installRoot();
    const QString m_sandbox = TestEnvironment::instance()->root();
    std::unique_ptr<LogCollector> m_log;
};

VELTRO_TEST_MAIN(TestExtract)
#include "tst_extract.moc"
