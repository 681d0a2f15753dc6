#include "extract/zipextractor.h"
#include "manifest/repomanager.h"

#include "logcollector.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <QWidget>

#include <memory>

Q_DECLARE_METATYPE(ZipBuilder::Entry)

namespace {

QString root()
{
    return TestEnvironment::installRoot();
}

// A log line as qDebug prints these operands.
template<typename... Parts>
QString line(const Parts &...parts)
{
    QString text;
    {
        QDebug debug(&text);
        (debug << ... << parts);
    }
    if (text.endsWith(' '))
        text.chop(1);
    return text;
}

QByteArray installed(const QString &relative)
{
    QFile file(root() + "/" + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every file, folder and link of the sandbox outside the install root.
QSet<QString> outsideInstallRoot()
{
    QSet<QString> paths;
    QDirIterator it(TestEnvironment::instance()->root(),
                    QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(root()))
            paths.insert(path);
    }
    return paths;
}

// Data deflate cannot shrink, more than an entry small enough to be inflated in one piece.
QByteArray largeIncompressible()
{
    QByteArray data(9 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    return data;
}

// Owner, group and other bits; Qt's "user" bits repeat the owner's for the current user.
constexpr int modeBits = 0x7077;

} // namespace

class TestExtract : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void extractsEveryKindOfEntry();
    void archiveCannotBeWalked_data();
    void archiveCannotBeWalked();
    void damagedDirectoryFailsTheWalk();
    void newerArchiveRewritesAndKeeps();
    void failingEntryStopsTheWalk_data();
    void failingEntryStopsTheWalk();
    void unsafeNames_data();
    void unsafeNames();
    void symbolicLinksBecomeFiles();
    void longNamesKeptWhole();
    void unixModes_data();
    void unixModes();
    void cleanUpFinishesTheBar();

private:
    // Made per test: QtTest installs its own message handler once it runs.
    std::unique_ptr<LogCollector> m_log;
};

void TestExtract::init()
{
    QVERIFY(QDir(root()).removeRecursively());
    for (const QString &name : QDir().entryList({"*.zip"}, QDir::Files))
        QVERIFY(QFile::remove(name));
    m_log = std::make_unique<LogCollector>();
}

void TestExtract::cleanup()
{
    m_log.reset();
}

void TestExtract::extractsEveryKindOfEntry()
{
    QByteArray text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "line " + QByteArray::number(i) + " of a text file\n";
    const QByteArray large = text.repeated(32); // more than is inflated in one piece
    QByteArray binary(100000, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i * 7919 >> 3);
    QVERIFY(ZipBuilder()
                .addDirectory("repo/")
                .addFile("repo/readme.txt", "hello\n")
                .addStoredFile("repo/bin/tool.dat", binary) // no directory entry for bin/
                .addFile("repo/data/big.txt", text)
                .addFile("repo/data/large.txt", large)
                .addFile("repo/empty.txt", "")
                .addFile("repo/.gitattributes", "* text=auto")
                .addFile("repo/sub/.gitattributes", "* text=auto")
                .addFile("repo/notes.gitattributes.txt", "notes")
                .addFile("repo/.GITATTRIBUTES", "upper")
                .addFile("repo/.gitattribute", "short")
                .addDirectory("repo/data/")
                .addFile("repo/bin", "taken by a folder")
                .write("repo.zip"));

    QVERIFY(ZipExtractor::extractZip("repo.zip"));

    const QString r = root();
    const QStringList expected = {
        line("Extracting to AppData/Local at:", r),
        line("Extracting to:", r + "/repo/"),
        line("Extracting to:", r + "/repo/readme.txt"),
        line("File extracted successfully. Total bytes written:", 6),
        line("Extracting to:", r + "/repo/bin/tool.dat"),
        line("File extracted successfully. Total bytes written:", 100000),
        line("Extracting to:", r + "/repo/data/big.txt"),
        line("File extracted successfully. Total bytes written:", text.size()),
        line("Extracting to:", r + "/repo/data/large.txt"),
        line("File extracted successfully. Total bytes written:", large.size()),
        line("Extracting to:", r + "/repo/empty.txt"),
        line("File extracted successfully. Total bytes written:", 0),
        line("Skipping file:", QString("repo/.gitattributes")),
        line("Skipping file:", QString("repo/sub/.gitattributes")),
        line("Skipping file:", QString("repo/notes.gitattributes.txt")),
        line("Extracting to:", r + "/repo/.GITATTRIBUTES"),
        line("File extracted successfully. Total bytes written:", 5),
        line("Extracting to:", r + "/repo/.gitattribute"),
        line("File extracted successfully. Total bytes written:", 5),
        line("Extracting to:", r + "/repo/data/"),
        line("Extracting to:", r + "/repo/bin"),
        "ZIP extraction completed!",
    };
    QCOMPARE(m_log->lines(), expected);

    QCOMPARE(installed("repo/readme.txt"), QByteArray("hello\n"));
    QCOMPARE(installed("repo/bin/tool.dat"), binary);
    QCOMPARE(installed("repo/data/big.txt"), text);
    QCOMPARE(installed("repo/data/large.txt"), large);
    QCOMPARE(installed("repo/empty.txt"), QByteArray());
    QCOMPARE(installed("repo/.GITATTRIBUTES"), QByteArray("upper"));
    QVERIFY(QFileInfo(r + "/repo/bin").isDir());
    QVERIFY(!QFileInfo::exists(r + "/repo/.gitattributes"));
    QVERIFY(!QFileInfo::exists(r + "/repo/sub")); // a skipped entry makes no folder either
    QVERIFY(!QFileInfo::exists(r + "/repo/notes.gitattributes.txt"));
}

void TestExtract::archiveCannotBeWalked_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<QString>("failure");

    QTest::newRow("missing") << QByteArray() << line("Failed to open zip file:", QString("a.zip"));
    QTest::newRow("not an archive")
        << QByteArray("just text") << line("Failed to open zip file:", QString("a.zip"));
    // Behind a preamble: Debian's minizip 1.2.13 finds no end record at offset 0, so a bare
    // empty archive already fails to open.
    QTest::newRow("no entries") << "preamble" + ZipBuilder().bytes()
                                << "Failed to go to first file in zip.";
}

void TestExtract::archiveCannotBeWalked()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, failure);
    if (!content.isNull()) {
        QFile file("a.zip");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }

    QVERIFY(!ZipExtractor::extractZip("a.zip"));
    QCOMPARE(m_log->lines(),
             QStringList({line("Extracting to AppData/Local at:", root()), failure}));
    QVERIFY(!QFileInfo::exists(root()));
}

void TestExtract::damagedDirectoryFailsTheWalk()
{
    QByteArray archive =
        ZipBuilder().addFile("repo/a.txt", "a").addFile("repo/b.txt", "b").bytes();
    const qsizetype second = archive.lastIndexOf("PK\x01\x02");
    QVERIFY(second > 0);
    archive[second + 3] = 'X';
    QFile file("repo.zip");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(archive), archive.size());
    file.close();

    QVERIFY(!ZipExtractor::extractZip("repo.zip"));
    QCOMPARE(m_log->lines().last(), "Failed to go to next file in zip.");
    QVERIFY(!m_log->contains("ZIP extraction completed!"));
    QCOMPARE(installed("repo/a.txt"), QByteArray("a"));
}

void TestExtract::newerArchiveRewritesAndKeeps()
{
    QVERIFY(ZipBuilder()
                .addFile("repo/a.txt", "first version, longer than the next")
                .addFile("repo/old.txt", "dropped later")
                .write("repo.zip"));
    QVERIFY(ZipExtractor::extractZip("repo.zip"));
    QVERIFY(ZipBuilder().addFile("repo/a.txt", "second").write("repo.zip"));
    QVERIFY(ZipExtractor::extractZip("repo.zip"));

    QCOMPARE(installed("repo/a.txt"), QByteArray("second"));
    QCOMPARE(installed("repo/old.txt"), QByteArray("dropped later"));
}

enum Obstacle { NoObstacle, DanglingLink, FullDisk, FileInPlaceOfFolder };

void TestExtract::failingEntryStopsTheWalk_data()
{
    QTest::addColumn<ZipBuilder::Entry>("entry");
    QTest::addColumn<int>("obstacle");
    QTest::addColumn<QString>("failure"); // empty: any failure
    QTest::addColumn<bool>("prefix");

    const QString target = root() + "/repo/b.txt";
    ZipBuilder::Entry plain{"repo/b.txt", "content of b", true, 0};
    QTest::newRow("output file cannot be opened")
        << plain << int(DanglingLink)
        << line("Failed to open output file for writing:", target) << false;
    QTest::newRow("write fails") << plain << int(FullDisk)
                                 << "Error writing to file. Bytes written:" << true;
    ZipBuilder::Entry nested{"repo/b/c.txt", "content", true, 0};
    QTest::newRow("folder cannot be made")
        << nested << int(FileInPlaceOfFolder)
        << line("Failed to create directory for", root() + "/repo/b/c.txt") << false;

    ZipBuilder::Entry corrupt{"repo/b.txt", QByteArray(5000, 'b'), false, 0};
    corrupt.corruptData = true;
    QTest::newRow("stored data corrupted")
        << corrupt << int(NoObstacle)
        << line("Checksum mismatch in file from zip:", QString("repo/b.txt")) << false;
    corrupt.deflate = true;
    corrupt.data = QByteArray("some text to compress, ").repeated(300);
    QTest::newRow("deflated data corrupted")
        << corrupt << int(NoObstacle) << line("Error reading file from zip:", "repo/b.txt")
        << false;

    corrupt.data = largeIncompressible();
    QTest::newRow("large deflated data corrupted")
        << corrupt << int(NoObstacle)
        << line("Checksum mismatch in file from zip:", QString("repo/b.txt")) << false;

    const QString incomplete = line("Incomplete data of file from zip:", QString("repo/b.txt"));
    const QString mismatch = line("Checksum mismatch in file from zip:", QString("repo/b.txt"));
    ZipBuilder::Entry shorter = plain;
    shorter.declaredSize = plain.data.size() + 10;
    QTest::newRow("data shorter than declared")
        << shorter << int(NoObstacle) << incomplete << false;
    shorter.deflate = false;
    QTest::newRow("stored data shorter than declared")
        << shorter << int(NoObstacle) << incomplete << false;
    ZipBuilder::Entry largeShorter{"repo/b.txt", largeIncompressible(), true, 0};
    largeShorter.declaredSize = largeShorter.data.size() + 10;
    QTest::newRow("large data shorter than declared")
        << largeShorter << int(NoObstacle) << incomplete << false;

    ZipBuilder::Entry longer = plain;
    longer.declaredSize = plain.data.size() - 2;
    QTest::newRow("data longer than declared") << longer << int(NoObstacle) << mismatch << false;
    longer.deflate = false;
    QTest::newRow("stored data longer than declared")
        << longer << int(NoObstacle) << mismatch << false;
    ZipBuilder::Entry largeLonger = largeShorter;
    largeLonger.declaredSize = largeLonger.data.size() - 2;
    QTest::newRow("large data longer than declared")
        << largeLonger << int(NoObstacle) << mismatch << false;
}

void TestExtract::failingEntryStopsTheWalk()
{
    QFETCH(ZipBuilder::Entry, entry);
    QFETCH(int, obstacle);
    QFETCH(QString, failure);
    QFETCH(bool, prefix);

    const QString target = root() + "/" + QString::fromUtf8(entry.name);
    QVERIFY(QDir().mkpath(root() + "/repo"));
    if (obstacle == DanglingLink) {
        QVERIFY(QFile::link(TestEnvironment::instance()->root() + "/no/such/folder/file", target));
    } else if (obstacle == FullDisk) {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("needs /dev/full");
        QVERIFY(QFile::link("/dev/full", target));
    } else if (obstacle == FileInPlaceOfFolder) {
        QFile file(root() + "/repo/b");
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(ZipBuilder()
                .addFile("repo/a.txt", "content of a")
                .add(entry)
                .addFile("repo/c.txt", "content of c")
                .write("repo.zip"));

    QVERIFY(!ZipExtractor::extractZip("repo.zip"));

    const QStringList lines = m_log->lines();
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.last(), "Failed to extract one or more files.");
    if (!failure.isEmpty())
        QVERIFY2(m_log->contains(failure, prefix), qPrintable(lines.join('\n')));
    const int start = m_log->indexOf(line("Extracting to:", target));
    QVERIFY(start >= 0);
    QCOMPARE(m_log->indexOf("File extracted successfully.", true, start), -1);
    QCOMPARE(installed("repo/a.txt"), QByteArray("content of a"));
    QVERIFY(!QFileInfo::exists(root() + "/repo/c.txt"));
}

void TestExtract::unsafeNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("refusal"); // empty: extracted

    const QString outside = "Refusing entry outside the install folder:";
    QTest::newRow("parent") << QByteArray("../x") << outside;
    QTest::newRow("parent, backslash") << QByteArray("..\\x") << outside;
    QTest::newRow("absolute") << QByteArray("/x") << outside;
    QTest::newRow("absolute, backslash") << QByteArray("\\x") << outside;
    QTest::newRow("drive letter") << QByteArray("C:/x") << outside;
    QTest::newRow("drive letter, relative") << QByteArray("c:x") << outside;
    QTest::newRow("parents inside") << QByteArray("a/../../x") << outside;
    QTest::newRow("parents inside, backslash") << QByteArray("a\\..\\..\\x") << outside;
    QTest::newRow("parents, mixed") << QByteArray("a/..\\..\\x") << outside;
    QTest::newRow("trailing parent") << QByteArray("repo/..") << outside;
    QTest::newRow("dots inside names") << QByteArray("repo/v1..2/notes..txt") << QString();
    QTest::newRow("parent with a blank") << QByteArray("a/.. /.. /x") << outside;
    QTest::newRow("three dots") << QByteArray("repo/.../x") << outside;
    QTest::newRow("one dot") << QByteArray("repo/./one.txt") << QString();

    // Names Windows refuses, or reads as another file, are refused everywhere.
    const QString unsafe = "Refusing entry with an unsafe name:";
    QTest::newRow("colon") << QByteArray("repo/a:b.txt") << unsafe;
    QTest::newRow("device") << QByteArray("repo/NUL") << unsafe;
    QTest::newRow("device, extension") << QByteArray("repo/nul.txt") << unsafe;
    QTest::newRow("device, mixed case") << QByteArray("repo/Com1") << unsafe;
    QTest::newRow("device as folder") << QByteArray("repo/lpt9/x.txt") << unsafe;
    QTest::newRow("device, blank before extension") << QByteArray("repo/aux .h") << unsafe;
    QTest::newRow("device name as a part") << QByteArray("repo/console.txt") << QString();
    QTest::newRow("device number out of range") << QByteArray("repo/COM10") << QString();
    QTest::newRow("trailing dot") << QByteArray("repo/notes.") << unsafe;
    QTest::newRow("folder with trailing blank") << QByteArray("repo/dir /x") << unsafe;
    QTest::newRow("leading dot and blank") << QByteArray("repo/.a b") << QString();
    for (const char *c : {"<", ">", "\"", "|", "?", "*", "\x01", "\x1f"})
        QTest::addRow("character %02x", quint8(*c)) << QByteArray("repo/a") + c + "b" << unsafe;
}

void TestExtract::unsafeNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, refusal);

    QVERIFY(ZipBuilder()
                .addFile("repo/before.txt", "before")
                .addFile(name, "payload")
                .addFile("repo/after.txt", "after")
                .write("repo.zip"));
    const QSet<QString> outside = outsideInstallRoot();

    const bool extracted = ZipExtractor::extractZip("repo.zip");

    QCOMPARE(outsideInstallRoot(), outside);
    QCOMPARE(installed("repo/before.txt"), QByteArray("before"));
    if (refusal.isEmpty()) {
        QVERIFY(extracted);
        QCOMPARE(installed(QString::fromUtf8(name)), QByteArray("payload"));
        return;
    }
    QVERIFY(!extracted);
    QVERIFY2(m_log->contains(line(qPrintable(refusal), QString::fromUtf8(name))),
             qPrintable(m_log->lines().join('\n')));
    QCOMPARE(m_log->count("Extracting to:", true), 1);
    QVERIFY(!QFileInfo::exists(root() + "/repo/after.txt"));
}

// A link entry is installed as a file holding its target, as an archive made by Git from a
// repository with a link has it; no link is made, so a later entry cannot pass through one.
void TestExtract::symbolicLinksBecomeFiles()
{
    QVERIFY(ZipBuilder()
                .addDirectory("repo/")
                .addFile("repo/lib.so.1", "library", 0100644)
                .addSymlink("repo/lib.so", "lib.so.1")
                .write("repo.zip"));
    QVERIFY(ZipExtractor::extractZip("repo.zip"));
    QVERIFY(m_log->contains(line("Writing symbolic link entry as a file:", QString("repo/lib.so"))));
    const QFileInfo link(root() + "/repo/lib.so");
    QVERIFY(link.isFile() && !link.isSymLink());
    QCOMPARE(installed("repo/lib.so"), QByteArray("lib.so.1"));
    // Not world-writable, as the link's mode 0777 would have it.
    QVERIFY(!(link.permissions() & QFileDevice::WriteOther));

    QVERIFY(ZipBuilder()
                .addSymlink("repo/up", "../..")
                .addFile("repo/up/escaped.txt", "payload")
                .write("repo.zip"));
    const QSet<QString> outside = outsideInstallRoot();
    QVERIFY(!ZipExtractor::extractZip("repo.zip"));
    QVERIFY(m_log->contains(line("Failed to create directory for", root() + "/repo/up/escaped.txt")));
    QCOMPARE(installed("repo/up"), QByteArray("../.."));
    QCOMPARE(outsideInstallRoot(), outside);
}

void TestExtract::longNamesKeptWhole()
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
    QVERIFY(m_log->contains(line("Extracting to:", root() + "/" + QString::fromUtf8(folder)
                                                      + "two.txt")));
    QVERIFY(!QFileInfo(root() + "/" + QString::fromUtf8(folder.left(256))).isFile());
}

void TestExtract::unixModes_data()
{
    using P = QFileDevice;
    QTest::addColumn<quint32>("mode");
    QTest::addColumn<int>("expected"); // 0: as a new file gets

    QTest::newRow("program") << quint32(0100755)
                             << int(P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup
                                 | P::ExeGroup | P::ReadOther | P::ExeOther);
    QTest::newRow("plain file") << quint32(0100644)
                                << int(P::ReadOwner | P::WriteOwner | P::ReadGroup | P::ReadOther);
    QTest::newRow("private program")
        << quint32(0100700) << int(P::ReadOwner | P::WriteOwner | P::ExeOwner);
    // Read-only files would block the next update: the owner keeps write access.
    QTest::newRow("read-only") << quint32(0100444)
                               << int(P::ReadOwner | P::WriteOwner | P::ReadGroup | P::ReadOther);
    QTest::newRow("made on Windows") << quint32(0) << 0;
}

void TestExtract::unixModes()
{
    QFETCH(quint32, mode);
    QFETCH(int, expected);
    QVERIFY(ZipBuilder().addFile("repo/bin/run", "#!/bin/sh\n", mode).write("repo.zip"));

    QVERIFY(ZipExtractor::extractZip("repo.zip"));
    QVERIFY(ZipExtractor::extractZip("repo.zip")); // over the first copy

    if (!expected) {
        QFile fresh(root() + "/fresh");
        QVERIFY(fresh.open(QIODevice::WriteOnly));
        expected = int(fresh.permissions()) & modeBits;
    }
    QCOMPARE(int(QFileInfo(root() + "/repo/bin/run").permissions()) & modeBits, expected);
}

void TestExtract::cleanUpFinishesTheBar()
{
    QWidget window;
    auto *panel = new QWidget(&window);
    panel->setObjectName("buttonPanel");
    auto *bar = new QProgressBar(panel);
    bar->setObjectName("a.b"); // the name is cut at the last dot of "a.b.zip"
    auto *manager = new RepoManager(&window);
    const QString path = "a.b.zip";

    // A failed extraction keeps the archive and still finishes the bar.
    ZipBuilder::Entry corrupt{"a.b/file.txt", "content", false, 0};
    corrupt.corruptData = true;
    QVERIFY(ZipBuilder().add(corrupt).write(path));
    bar->show();
    QVERIFY(!manager->processDownloadedZip(path));
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(m_log->lines().last(), "ZIP file extraction failed.");
    QCOMPARE(bar->value(), 100);
    QVERIFY(bar->isHidden());

    // A successful one removes it.
    QVERIFY(ZipBuilder().addFile("a.b/file.txt", "x").write(path));
    m_log->clear();
    bar->setValue(40);
    bar->show();
    QVERIFY(manager->processDownloadedZip(path));
    QCOMPARE(m_log->lines(),
             QStringList({line(path), line("Extracting to AppData/Local at:", root()),
                          line("Extracting to:", root() + "/a.b/file.txt"),
                          line("File extracted successfully. Total bytes written:", 1),
                          "ZIP extraction completed!", "Extraction completed successfully!",
                          line("Arquivo ZIP removido com sucesso: ", path)}));
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(bar->value(), 100);
    QVERIFY(bar->isHidden());

    // Again, the archive now gone: the extraction fails and the bar is finished all the same.
    m_log->clear();
    bar->setValue(0);
    bar->show();
    QVERIFY(!manager->processDownloadedZip(path));
    QCOMPARE(m_log->lines(),
             QStringList({line(path), line("Extracting to AppData/Local at:", root()),
                          line("Failed to open zip file:", path), "ZIP file extraction failed."}));
    QCOMPARE(bar->value(), 100);
    QVERIFY(bar->isHidden());
}

VELTRO_TEST_MAIN(TestExtract)
#include "tst_extract.moc"
