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
Q_DECLARE_METATYPE(Tree)

namespace {
Tree tree(const QString &dir)
{
    Tree files;
    QDirIterator it(dir, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        files.insert(path.mid(dir.size() + 1), info.isSymLink()
                                                   ? "-> " + info.symLinkTarget().toUtf8()
                                               : info.isDir() ? "<dir>"
                                                              : LauncherRun::readAll(path));
    }
    return files;
}

bool put(const QString &path, const QByteArray &bytes)
{
    return QDir().mkpath(QFileInfo(path).path()) && LauncherRun::writeFile(path, bytes);
}

#ifdef Q_OS_WIN
// A handle as a running program holds its files: shared for reading and, when asked, renaming.
HANDLE hold(const QString &path, bool renamable)
{
    return CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                       GENERIC_READ, FILE_SHARE_READ | (renamable ? FILE_SHARE_DELETE : 0), nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

// The installed version every row starts from, beside the launcher's own files.
const Tree earlier = {{"launcher.lock", "4242\n"}, {"launcher.log", "a line\n"},
                      {"repo", "<dir>"},           {"repo/a.txt", "old a"},
                      {"repo/b.txt", "old b"},     {"repo/keep.txt", "kept"}};

// New repo/a.txt and repo/new/n.txt, then the given entries.
QByteArray update(const QList<ZipBuilder::Entry> &last)
{
    ZipBuilder zip;
    zip.addFile("repo/a.txt", "new a").addStoredFile("repo/new/n.txt", "n");
    for (const ZipBuilder::Entry &entry : last)
        zip.add(entry);
    return zip.bytes();
}
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
        for (const char *name : {"..", "...", ".. ", "../x", "..\\x", "/x", "\\x", "C:/x", "c:x",
                                 "a/..\\..\\x", "repo/..", "a/.. /.. /x", "repo/.../x"})
            row(name, V::OutsideRoot, false);
        for (const char *name :
             {"repo/CON", "repo/aux/x.txt", "repo\\nul.txt", "repo/dir /x", "repo/a?b"})
            row(name, V::Unsafe, false);
        for (const char *name : {"repo/v1..2/n..txt", "repo/./one.txt", "repo/.GITATTRIBUTES",
                                 "repo/.gitattribute", "repo/launcher.log"})
            row(name, V::Install, false);
        for (const char *name : {".gitattributes", "repo/sub/.gitattributes", "x.gitattributes.txt",
                                 "../.gitattributes"})
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

    void failureLeavesEarlierVersion_data()
    {
        QTest::addColumn<QByteArray>("archive"); // null: no file at all
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("failure"); // the start of the line that tells it
        QTest::addColumn<QString>("detail");  // the entry or file the result names
        const auto row = [](const char *name, const QByteArray &archive, const char *failure,
                            const char *detail, const char *obstacle = "") {
            QTest::newRow(name) << archive << obstacle << failure << detail;
        };
        const QByteArray whole = update({});
        row("missing", {}, "Failed to open zip file:", "repo.zip");
        row("not an archive", "just text", "Failed to open zip file:", "repo.zip");
        row("cut short", whole.left(whole.lastIndexOf("PK\x01\x02") + 10),
            "Failed to open zip file:", "repo.zip");
        // Behind a preamble: Debian's minizip finds no end record at offset 0 of an empty archive.
        row("no entries", "preamble" + ZipBuilder().bytes(), "Failed to go to first file in zip.",
            "repo.zip");
        // The walk reaches a damaged record: not the end of the archive, a failure.
        QByteArray damaged = whole;
        damaged[damaged.lastIndexOf("PK\x01\x02") + 3] = 'X';
        row("damaged directory record", damaged, "Failed to go to next file in zip.", "repo.zip");

        const QByteArray text = QByteArray("some text of c, ").repeated(300);
        const QByteArray c = update({{"repo/c.txt", text, true, 0}});
        row("write fails", c, "Error writing to file.", "repo/c.txt", "full disk");
        row("file in place of folder", update({{"repo/b.txt/c.txt", "c", true, 0}}),
            "Failed to create directory for", "repo/b.txt/c.txt");
        row("folder in place of file", update({{"repo/new", "c", true, 0}}),
            "Failed to open output file for writing:", "repo/new");
        row("installed folder in place of file", update({{"repo/c.txt", "c", true, 0}}),
            "Failed to open output file for writing:", "repo/c.txt", "folder");
        // Windows sees one file or folder where the archive holds two.
        const char *caseOnly = "Refusing entry that differs only in letter case from another:";
        row("letter case of a file", update({{"repo/A.TXT", "c", true, 0}}), caseOnly,
            "repo/A.TXT");
        row("letter case of a folder", update({{"Repo/x", "c", true, 0}}), caseOnly, "Repo/x");
        row("outside", update({{"a/..\\..\\x", "c", true, 0}}),
            "Refusing entry outside the install folder:", "a/..\\..\\x");
        for (const char *name : {"repo/CON", "launcher.lock", "./launcher.log"})
            row(name, update({{name, "c", true, 0}}), "Refusing entry with an unsafe name:", name);
        // A link entry is a file, so a later entry cannot pass through it.
        row("through a link",
            update({{"repo/up", "../..", false, 0120777}, {"repo/up/x", "x", true, 0}}),
            "Failed to create directory for", "repo/up/x");
        // Small entries are inflated in one piece, large ones (over 8 MiB) streamed.
        const QByteArray large = LauncherRun::noise(1 << 20, "c") + QByteArray(9 << 20, 'c');
        for (const QByteArray &data : {text, large}) {
            for (const bool deflate : {false, true}) {
                const auto bad = [&](const char *what, ZipBuilder::Field field, quint32 value,
                                     const char *failure) {
                    QByteArray archive = update({{"repo/c.txt", data, deflate, 0}});
                    ZipBuilder::patch(archive, 2, field, value);
                    const QByteArray name = QByteArray(what) + ", "
                                            + QByteArray::number(data.size())
                                            + (deflate ? ", deflated" : "");
                    row(name.constData(), archive, failure, "repo/c.txt");
                };
                bad("CRC mismatch", ZipBuilder::Crc, 0x12345678,
                    "Checksum mismatch in file from zip:");
                bad("data shorter than the header", ZipBuilder::UncompressedSize,
                    quint32(data.size() + 10), "Incomplete data of file from zip:");
                bad("data longer than the header", ZipBuilder::UncompressedSize,
                    quint32(data.size() - 2), "Checksum mismatch in file from zip:");
            }
        }
        QByteArray encrypted = c, bzip2 = c;
        ZipBuilder::patch(encrypted, 2, ZipBuilder::Flags, 1);
        ZipBuilder::patch(bzip2, 2, ZipBuilder::Method, 12);
        row("encrypted", encrypted, "Failed to open file from zip:", "repo/c.txt");
        row("unknown method", bzip2, "Failed to open file from zip:", "repo/c.txt");
        // Everything is staged; moving b.txt into place fails, so a.txt and new/ go back.
        const QByteArray b = update({{"repo/b.txt", "new b", true, 0}});
        row("replacement refused", b, "Failed to replace file in use:", "repo/b.txt", "refuse b");
        row("file held by a program", b, "Failed to replace file in use:", "repo/b.txt", "hold b");
    }

    void failureLeavesEarlierVersion()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, obstacle);
        QFETCH(QString, failure);
        QFETCH(QString, detail);
        for (auto file = earlier.cbegin(); file != earlier.cend(); ++file)
            QVERIFY(*file == "<dir>" ? QDir().mkpath(root() + "/" + file.key())
                                     : put(root() + "/" + file.key(), *file));
        if (obstacle == "folder")
            QVERIFY(QDir().mkpath(root() + "/repo/c.txt"));
        if (!archive.isNull())
            QVERIFY(LauncherRun::writeFile("repo.zip", archive));
        const Tree before = tree(m_sandbox);

        ExtractionResult result;
        if (obstacle == "full disk") {
#ifdef Q_OS_WIN
            QSKIP("No file-size limit on Windows to stand for a full disk");
#else
            // Writes past the limit fail (EFBIG) instead of raising a signal.
            const auto previous = std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            rlimit small = {1024, limit.rlim_max};
            setrlimit(RLIMIT_FSIZE, &small);
            result = ZipExtractor::extractZip("repo.zip");
            setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, previous);
#endif
        } else if (obstacle == "hold b") {
#ifdef Q_OS_WIN
            const HANDLE held = hold(root() + "/repo/b.txt", false);
            QVERIFY(held != INVALID_HANDLE_VALUE);
            result = ZipExtractor::extractZip("repo.zip");
            CloseHandle(held);
#else
            QSKIP("Only Windows keeps a file that another program holds from being renamed");
#endif
        } else {
            if (obstacle == "refuse b")
                StagedInstall::replaceHook = [](const QString &target) {
                    return !target.endsWith("/b.txt");
                };
            result = ZipExtractor::extractZip("repo.zip");
        }
        QVERIFY2(m_log->contains(failure, true), qPrintable(m_log->lines().join('\n')));
        QCOMPARE(result.status, failure.contains("in use") ? ExtractionResult::FileInUse
                                                           : ExtractionResult::Failed);
        QCOMPARE(result.detail,
                 failure.contains("in use") ? QDir::toNativeSeparators(detail) : detail);
        QCOMPARE(tree(m_sandbox), before);
    }

    void installs_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("folder"); // the install root, when not the usual one
        QTest::addColumn<Tree>("changes");   // to the earlier version
        const Tree updated = {{"repo/a.txt", "new a"},
                              {"repo/new", "<dir>"},
                              {"repo/new/n.txt", "n"}};
        const auto plus = [&](Tree more) {
            more.insert(updated);
            return more;
        };
        QTest::newRow("over an earlier version") << update({}) << "" << updated;
        QTest::newRow("in a folder with a blank and accents")
            << update({}) << m_sandbox + "/José Silva/AppData/Local/Veltro Ação" << updated;
        QTest::newRow("git attributes left out")
            << update({{"repo/.gitattributes", "* text", true, 0},
                       {"repo/sub/x.gitattributes.txt", "x", true, 0},
                       {"repo/.GITATTRIBUTES", "upper", true, 0}})
            << "" << plus({{"repo/.GITATTRIBUTES", "upper"}});
        // In both headers: the name is text up to its first NUL.
        const QByteArray nul =
            update({{"repo/x.txt#../../x", "x", false, 0}, {"#repo/hidden", "h", false, 0}})
                .replace("x.txt#", QByteArray("x.txt\0", 6))
                .replace("#repo", QByteArray("\0repo", 5));
        QTest::newRow("NUL ends the name") << nul << "" << plus({{"repo/x.txt", "x"}});
        QTest::newRow("folders, dots, an empty file")
            << update({{"repo/data/", "", false, 0},
                       {"repo/./one.txt", "1", true, 0},
                       {"repo/v1..2/n..txt", "2", true, 0},
                       {"repo/empty", "", true, 0}})
            << ""
            << plus({{"repo/data", "<dir>"},
                     {"repo/one.txt", "1"},
                     {"repo/v1..2", "<dir>"},
                     {"repo/v1..2/n..txt", "2"},
                     {"repo/empty", ""}});
        // A link is installed as a file holding its target, as Git writes links where it makes none.
        QTest::newRow("link as a file")
            << ZipBuilder()
                   .addFile("repo/lib.so.1", "library")
                   .addSymlink("repo/lib.so", "lib.so.1")
                   .bytes()
            << "" << Tree{{"repo/lib.so.1", "library"}, {"repo/lib.so", "lib.so.1"}};
        const QByteArray large = LauncherRun::noise(1 << 20, "l")
                                 + QByteArray("text ").repeated(2 << 20);
        QTest::newRow("large entry streamed") << ZipBuilder().addFile("repo/l.bin", large).bytes()
                                              << "" << Tree{{"repo/l.bin", large}};
        // Two names of 314 bytes that agree in their first 256.
        const QByteArray folder = "repo/" + QByteArray(150, 'a') + "/" + QByteArray(150, 'b');
        QTest::newRow("long names kept whole")
            << ZipBuilder().addFile(folder + "/one", "1").addFile(folder + "/two", "2").bytes()
            << ""
            << Tree{{folder.left(155), "<dir>"},
                    {folder, "<dir>"},
                    {folder + "/one", "1"},
                    {folder + "/two", "2"}};
        QTest::newRow("file held by a running program") << update({}) << "hold a" << updated;
    }

    void installs()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, folder);
        QFETCH(Tree, changes);
        const QString dir = folder.isEmpty() || folder == "hold a" ? root() : folder;
        for (auto file = earlier.cbegin(); file != earlier.cend(); ++file)
            QVERIFY(*file == "<dir>" ? QDir().mkpath(dir + "/" + file.key())
                                     : put(dir + "/" + file.key(), *file));
        QVERIFY(put(dir + "/../repo.zip", archive));
        Tree expected = earlier;
        expected.insert(changes);
#ifdef Q_OS_WIN
        // Renamed aside while held, deleted by the next update.
        const HANDLE held = folder == "hold a" ? hold(root() + "/repo/a.txt", true) : nullptr;
        if (held)
            expected.insert({{".veltro-update", "<dir>"},
                             {".veltro-update/old", "<dir>"},
                             { ".veltro-update/old/1",
                               "old a" }});
#else
        if (folder == "hold a")
            QSKIP("Only Windows keeps a file that another program holds from being replaced");
#endif
        const ExtractionResult result = ZipExtractor::extractInto(dir + "/../repo.zip", dir);
        QVERIFY2(result.ok(), qPrintable(m_log->lines().join('\n')));
        QCOMPARE(tree(dir), expected);
#ifdef Q_OS_WIN
        if (held) {
            CloseHandle(held);
            QVERIFY(ZipExtractor::extractInto(dir + "/../repo.zip", dir).ok());
            QVERIFY(!QFileInfo::exists(root() + "/.veltro-update"));
        }
#endif
    }

    // Progress in bytes of the whole archive, ending at the total; a large entry reports as it
    // is written, and not for every piece.
    void progress()
    {
        const QByteArray large(20 << 20, 'p');
        QVERIFY(
            ZipBuilder().addFile("repo/small", "s").addFile("repo/large", large).write("repo.zip"));
        QList<std::pair<qint64, qint64>> reports;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ZipExtractor::extractZip("repo.zip", [&](qint64 done, qint64 total) {
                    reports.append({done, total});
                }).ok());
        const qint64 total = large.size() + 1;
        QCOMPARE(reports.last(), std::make_pair(total, total));
        QVERIFY(reports.size() > 10 && reports.size() <= 102 + clock.elapsed() / 100);
        for (int i = 1; i < reports.size(); ++i)
            QVERIFY(reports.at(i).first > reports.at(i - 1).first);
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
#ifdef Q_OS_WIN
        QSKIP("Windows keeps no Unix file modes");
#endif
        QFETCH(quint32, mode);
        QFETCH(int, expected);
        QVERIFY(ZipBuilder().addFile("repo/run", "#!/bin/sh\n", mode).write("repo.zip"));
        QVERIFY(ZipExtractor::extractZip("repo.zip").ok());
        const int modeBits = 0x7077; // owner, group, other; Qt's "user" bits repeat the owner's
        if (!expected) {
            QVERIFY(LauncherRun::writeFile(root() + "/fresh", "x"));
            expected = int(QFile::permissions(root() + "/fresh")) & modeBits;
        }
        QCOMPARE(int(QFile::permissions(root() + "/repo/run")) & modeBits, expected);
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
