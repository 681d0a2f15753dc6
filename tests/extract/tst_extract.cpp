#include "extract/filenames.h"
#include "extract/stagedinstall.h"
#include "extract/zipextractor.h"

#include "launcherrun.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QtTest>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

using Tree = QMap<QString, QByteArray>; // path below a folder: content, "<dir>" or "-> target"
using V = FileNames::EntryVerdict;

namespace {
Tree tree(const QString &dir)
{
    Tree files;
    QDirIterator it(dir, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray &file = files[path.mid(dir.size() + 1)];
        if (info.isSymLink() || info.isDir()) {
            file = info.isDir() ? "<dir>" : "-> " + info.symLinkTarget().toUtf8();
            continue;
        }
        // The modes the extraction sets: a program, a file the next update could not rewrite,
        // one closed to others.
        const auto mark = [&](QFileDevice::Permission bit, const char *text, bool when) {
            return info.permissions().testFlag(bit) == when ? QByteArray(text) : QByteArray();
        };
        file = mark(QFile::ExeOwner, "<x>", true) + mark(QFile::WriteOwner, "<ro>", false)
               + mark(QFile::ReadOther, "<private>", false) + LauncherRun::readAll(path);
    }
    return files;
}

// The installed version every row starts from, beside the launcher's own files.
const Tree earlier = {{"launcher.lock", "4242\n"}, {"launcher.log", "a line\n"},
                      {"repo", "<dir>"},           {"repo/a.txt", "old a"},
                      {"repo/b.txt", "old b"},     {"repo/keep.txt", "kept"}};

// New repo/a.txt and repo/new/n.txt, then the given entries.
QByteArray update(const QList<ZipBuilder::Entry> &more = {})
{
    ZipBuilder zip;
    zip.addFile("repo/a.txt", "new a").addStoredFile("repo/new/n.txt", "n");
    for (const ZipBuilder::Entry &entry : more)
        zip.add(entry);
    return zip.bytes();
}

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
        QDir(root()).removeRecursively();
        QDir(m_sandbox + "/José Silva").removeRecursively();
        QFile::remove("repo.zip");
        StagedInstall::replaceHook = nullptr;
        m_log.reset(); // installed after QtTest's own message handler
        m_log = std::make_unique<LogCollector>();
    }

    // The name rules themselves; the rows below check that the extractor follows them.
    void fileNameRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("entry"); // the verdict on the name as an archive entry
        QTest::addColumn<bool>("repo"); // accepted as a repository name
        const auto rows = [](std::initializer_list<const char *> names, V entry, bool repo) {
            for (const char *name : names)
                QTest::newRow(name) << QString::fromUtf8(name) << int(entry) << repo;
        };
        // Windows' devices, in any case, with an extension, before blanks.
        rows({"CON", "con.txt", "PRN", "AUX", "NUL", "nul.tar.gz", "Com1", "COM0", "LPT9"},
             V::Unsafe, false);
        rows({"lpt\u00b9", "aux .h", "CONIN$", "conout$.log"}, V::Unsafe, false);
        // Windows' forbidden characters, and the dots and blanks it drops from the end.
        rows({"ab:c", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "tab\tx", "notes.", "end "},
             V::Unsafe, false);
        QTest::newRow("NUL inside") << QString("a") + QChar(0) + "b" << int(V::Unsafe) << false;
        rows({"console.txt", "COM10", "LPTX", "nul-device", ".", "v1..2"}, V::Install, true);
        // Entry paths: both separators, each part checked.
        rows({"..", "...", ".. ", "../x", "..\\x", "/x", "\\x", "C:/x", "c:x", "a/..\\..\\x"},
             V::OutsideRoot, false);
        rows({"repo/..", "a/.. /.. /x", "repo/.../x"}, V::OutsideRoot, false);
        rows({"repo/CON", "repo/aux/x.txt", "repo\\nul.txt", "repo/dir /x"}, V::Unsafe, false);
        rows({"repo/v1..2/n..txt", "repo/./one", "repo/.GITATTRIBUTES", "repo/.gitattribute"},
             V::Install, false);
        rows({".gitattributes", "x.gitattributes.txt"}, V::Skip, true);
        rows({"repo/sub/.gitattributes", "../.gitattributes"}, V::Skip, false);
        // The launcher's own files at the top of the install root; as repository names they
        // only name files in the working directory.
        rows({"launcher.log", "Launcher.LOCK", "launcher.1.log", ".veltro-update"}, V::Unsafe,
             true);
        rows({"./launcher.log", "launcher.lock/x", ".veltro-update/new/a"}, V::Unsafe, false);
        rows({"repo/launcher.log"}, V::Install, false);
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
        QTest::addColumn<QString>("detail");  // the entry or file the failure names
        QTest::addColumn<Tree>("changes");    // to the earlier version, when installed
        const auto fails = [](const char *name, const QByteArray &archive, const char *failure,
                              const char *detail, const char *obstacle = "") {
            QTest::newRow(name) << archive << obstacle << failure << detail << Tree();
        };
        const auto installs = [](const char *name, const QByteArray &archive, const Tree &more,
                                 const QString &obstacle = {}) {
            Tree changes = {{"repo/a.txt", "new a"},
                            {"repo/new", "<dir>"},
                            {"repo/new/n.txt", "n"}};
            changes.insert(more);
            QTest::newRow(name) << archive << obstacle << QString() << QString() << changes;
        };
        const auto entry = [](const char *name, const QByteArray &data = "c") {
            return update({{name, data, true, 0}});
        };
        fails("missing", {}, "Failed to open zip file:", "repo.zip");
        fails("cut short", update().left(update().lastIndexOf("PK\x01\x02") + 10),
              "Failed to open zip file:", "repo.zip");
        // Behind a preamble: Debian's minizip finds no end record at offset 0 of an empty archive.
        fails("no entries", "preamble" + ZipBuilder().bytes(), "Failed to go to first file in zip.",
              "repo.zip");
        // The walk reaches a damaged record: not the end of the archive, a failure.
        QByteArray damaged = update();
        damaged[damaged.lastIndexOf("PK\x01\x02") + 3] = 'X';
        fails("damaged directory record", damaged, "Failed to go to next file in zip.", "repo.zip");

        const QByteArray text = QByteArray("some text of c, ").repeated(300);
        fails("write fails", entry("repo/c.txt", text), "Error writing to file.", "repo/c.txt",
              "full disk");
        const char *mkdir = "Failed to create directory for",
                   *mkfile = "Failed to open output file for writing:";
        fails("file in place of folder", entry("repo/b.txt/c"), mkdir, "repo/b.txt/c");
        fails("staged folder in place of file", entry("repo/new"), mkfile, "repo/new");
        fails("installed folder in place of file", entry("repo/c"), mkfile, "repo/c", "folder");
        const QByteArray tooLong = "repo/" + QByteArray(300, 'n'); // for one part of a path
        fails("name too long", entry(tooLong), mkfile, tooLong);
        fails("through a link",
              update({{"repo/up", "..", false, 0120777}, {"repo/up/x", "", true, 0}}), mkdir,
              "repo/up/x");
        // Windows sees one file or folder where the archive holds two.
        const char *caseOnly = "Refusing entry that differs only in letter case from another:";
        fails("letter case of a file", entry("repo/A.TXT"), caseOnly, "repo/A.TXT");
        fails("letter case of a folder", entry("Repo/x"), caseOnly, "Repo/x");
        fails("outside", entry("a/..\\..\\x"),
              "Refusing entry outside the install folder:", "a/..\\..\\x");
        for (const char *name : {"repo/CON", "launcher.lock", "./launcher.log"})
            fails(name, entry(name), "Refusing entry with an unsafe name:", name);
        // Small entries are inflated in one piece, large ones (over 8 MiB) streamed.
        const QByteArray large = LauncherRun::noise(1 << 20, "c") + QByteArray(9 << 20, 'c');
        const auto bad = [&](const QByteArray &data, bool deflate, const char *what,
                             ZipBuilder::Field field, quint32 value, const char *failure) {
            QByteArray archive = update({{"repo/c.txt", data, deflate, 0}});
            ZipBuilder::patch(archive, 2, field, value);
            const QString name =
                QString("%1, %2 bytes, %3").arg(what).arg(data.size()).arg(deflate);
            fails(qPrintable(name), archive, failure, "repo/c.txt");
        };
        for (const QByteArray &data : {text, large}) {
            for (const bool deflate : {false, true}) {
                bad(data, deflate, "CRC", ZipBuilder::Crc, 1,
                    "Checksum mismatch in file from zip:");
                bad(data, deflate, "short", ZipBuilder::UncompressedSize, quint32(data.size() + 10),
                    "Incomplete data of file from zip:");
                bad(data, deflate, "long", ZipBuilder::UncompressedSize, quint32(data.size() - 2),
                    "Checksum mismatch in file from zip:");
            }
        }
        bad(text, true, "encrypted", ZipBuilder::Flags, 1, "Failed to open file from zip:");
        bad(text, true, "bzip2", ZipBuilder::Method, 12, "Failed to open file from zip:");
        // All is staged; moving b.txt into place fails, so a.txt and new/ go back.
        const char *inUse = "Failed to replace file in use:";
        fails("replacement refused", entry("repo/b.txt"), inUse, "repo/b.txt", "refuse b");
        fails("file held by a program", entry("repo/b.txt"), inUse, "repo/b.txt", "hold b");

        installs("over an earlier version", update(), {});
        installs("in a folder with a blank and accents", update(), {},
                 m_sandbox + "/José Silva/AppData/Local/Veltro Ação");
        installs("held by a running program, renamed aside", update(), {}, "hold a");
        installs("git attributes left out",
                 update({{"repo/.gitattributes", "*", true, 0},
                         {"repo/s/x.gitattributes.y", "", true, 0},
                         {"repo/.GITATTRIBUTES", "upper", true, 0}}),
                 {{"repo/.GITATTRIBUTES", "upper"}});
        // In both headers: the name is text up to its first NUL.
        installs("NUL ends the name",
                 update({{"repo/x#../../x", "x", false, 0}, {"#repo/hidden", "h", false, 0}})
                     .replace("x#", QByteArray("x\0", 2))
                     .replace("#repo", QByteArray("\0repo", 5)),
                 {{"repo/x", "x"}});
        installs("folders, dots, an empty file",
                 update({{"repo/data/", "", false, 0},
                         {"repo/./one", "1", true, 0},
                         {"repo/v1..2/n..txt", "2", true, 0},
                         {"repo/empty", "", true, 0}}),
                 {{"repo/data", "<dir>"},
                  {"repo/one", "1"},
                  {"repo/v1..2", "<dir>"},
                  {"repo/v1..2/n..txt", "2"},
                  {"repo/empty", ""}});
        // Unix modes where the archive has them, the owner always keeping write access; a link
        // is a file holding its target, as Git writes links where it makes none.
        installs("modes and links",
                 update({{"repo/run", "#!", true, 0100755},
                         {"repo/ro", "r", true, 0100444},
                         {"repo/own", "o", true, 0100600},
                         {"repo/lib.so", "lib.so.1", false, 0120777}}),
                 {{"repo/run", "<x>#!"},
                  {"repo/ro", "r"},
                  {"repo/own", "<private>o"},
                  {"repo/lib.so", "lib.so.1"}},
                 "modes");
        // Two names of 314 bytes that agree in their first 256.
        const QByteArray folder = "repo/" + QByteArray(150, 'a') + "/" + QByteArray(150, 'b');
        installs("long names kept whole",
                 update({{folder + "/one", "1", true, 0}, {folder + "/two", "2", true, 0}}),
                 {{folder.left(155), "<dir>"},
                  {folder, "<dir>"},
                  {folder + "/one", "1"},
                  {folder + "/two", "2"}});
    }

    void extract()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, obstacle);
        QFETCH(QString, failure);
        QFETCH(QString, detail);
        QFETCH(Tree, changes);
#ifdef Q_OS_WIN
        if (obstacle == "full disk" || obstacle == "modes")
            QSKIP("Windows has no file-size limit to stand for a full disk, nor Unix file modes");
        const auto held = obstacle.startsWith("hold")
                              ? hold(root() + "/repo/" + obstacle.back() + ".txt",
                                     obstacle == "hold a")
                              : nullptr;
#else
        if (obstacle.startsWith("hold"))
            QSKIP("Only Windows keeps a file that another program holds from being replaced");
        // Writes past the limit fail (EFBIG) instead of raising a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small = {obstacle == "full disk" ? 1024 : limit.rlim_max, limit.rlim_max};
#endif
        const QString dir = obstacle.contains('/') ? obstacle : root();
        QVERIFY(QDir().mkpath(dir + "/repo")
                && (obstacle != "folder" || QDir().mkpath(dir + "/repo/c")));
        for (auto file = earlier.cbegin(); file != earlier.cend(); ++file)
            QVERIFY(*file == "<dir>" || LauncherRun::writeFile(dir + "/" + file.key(), *file));
        QVERIFY(archive.isNull() || LauncherRun::writeFile("repo.zip", archive));
        const Tree before = tree(m_sandbox);
        StagedInstall::replaceHook = [&](const QString &target) {
            return obstacle != "refuse b" || !target.endsWith("/b.txt");
        };
#ifndef Q_OS_WIN
        setrlimit(RLIMIT_FSIZE, &small);
#endif
        const ExtractionResult result = ZipExtractor::extractInto("repo.zip", dir);
#ifndef Q_OS_WIN
        setrlimit(RLIMIT_FSIZE, &limit);
#endif
        if (!failure.isEmpty()) {
            QVERIFY2(m_log->contains(failure, true), qPrintable(m_log->lines().join('\n')));
            const bool inUse = failure.contains("in use");
            QCOMPARE(result.status, inUse ? ExtractionResult::FileInUse : ExtractionResult::Failed);
            QCOMPARE(result.detail, inUse ? QDir::toNativeSeparators(detail) : detail);
            QCOMPARE(tree(m_sandbox), before);
            return;
        }
        QVERIFY2(result.ok(), qPrintable(m_log->lines().join('\n')));
        Tree expected = earlier;
        expected.insert(changes);
        Tree installed = tree(dir);
        // Windows may keep a held file, renamed aside, until the next update.
        installed.removeIf([&](Tree::iterator file) {
            return obstacle == "hold a" && file.key().startsWith(".veltro-update");
        });
        QCOMPARE(installed, expected);
#ifdef Q_OS_WIN
        held.reset();
#endif
        QVERIFY(ZipExtractor::extractInto("repo.zip", dir).ok());
        QCOMPARE(tree(dir), expected);
    }

    // Progress in bytes of the whole archive, ending at the total; a large entry (streamed)
    // reports as it is written, and not for every piece.
    void progress()
    {
        const QByteArray large(20 << 20, 'p');
        QVERIFY(ZipBuilder().addFile("repo/s", "s").addFile("repo/large", large).write("repo.zip"));
        QList<std::pair<qint64, qint64>> reports;
        QElapsedTimer clock;
        clock.start();
        const auto report = [&](qint64 done, qint64 total) { reports.append({done, total}); };
        QVERIFY(ZipExtractor::extractZip("repo.zip", report).ok());
        QCOMPARE(LauncherRun::readAll(root() + "/repo/large"), large);
        QCOMPARE(reports.last(), std::make_pair(large.size() + 1, large.size() + 1));
        QVERIFY(reports.size() > 10 && reports.size() <= 102 + clock.elapsed() / 100);
        for (int i = 1; i < reports.size(); ++i)
            QVERIFY(reports.at(i).first > reports.at(i - 1).first);
    }

private:
    static QString root()
    {
        return LauncherRun::installRoot();
    }
    const QString m_sandbox = TestEnvironment::instance()->root();
    std::unique_ptr<LogCollector> m_log;
};

VELTRO_TEST_MAIN(TestExtract)
#include "tst_extract.moc"
