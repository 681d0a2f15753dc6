#include "extract/deltaplan.h"
#include "extract/diskspace.h"
#include "extract/installindex.h"
#include "extract/rangedarchive.h"
#include "extract/rangeplan.h"
#include "extract/zipdirectory.h"
#include "extract/zipextractor.h"
#include "sync/byteranges.h"

#include "launcherrun.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

#include <algorithm>

using Z = ZipDirectory;
using L = ZipLocalHeader;
using Pairs = QList<qint64>; // ranges as begin, end, begin, end...

namespace {
QList<ByteRange> ranges(const Pairs &pairs)
{
    QList<ByteRange> list;
    for (qsizetype i = 0; i + 1 < pairs.size(); i += 2)
        list.append({pairs.at(i), pairs.at(i + 1)});
    return list;
}

Pairs pairs(const QList<ByteRange> &list)
{
    Pairs flat;
    for (const ByteRange &range : list)
        flat << range.begin << range.end;
    return flat;
}

QByteArray patched(QByteArray bytes, qint64 at, quint64 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = char(value >> (8 * i));
    return bytes;
}

// The bytes of archive with size bytes at offset of entry index's central record overwritten.
QByteArray central(const QByteArray &archive, int index, int offset, quint64 value, int size)
{
    qint64 at = archive.indexOf("PK\1\2");
    for (int i = 0; i < index; ++i)
        at = archive.indexOf("PK\1\2", at + 1);
    return patched(archive, at + offset, value, size);
}

const QByteArray plain = ZipBuilder()
                             .addFile("repo/a.txt", QByteArray(900, 'a'))
                             .addStoredFile("repo/b.txt", "bb")
                             .add({"repo/d/", {}, false, 0})
                             .addFile("repo/x", "#!", 0100755)
                             .bytes();
const qint64 plainEnd = plain.lastIndexOf("PK\5\6");
// Stored entries with Unix modes: plain, with ZIP64 sizes, a descriptor, both; a ZIP64 end record.
const QByteArray zip64 = ZipBuilder()
                             .add({"s.txt", "stored", false, 0100644})
                             .add({"big.bin", QByteArray(300, 'g'), false, 0100644, {}, 0, 7, true})
                             .add({"desc", "described", false, 0100644, {}, 0, 0, false, true})
                             .add({"both", "described64", false, 0100644, {}, 0, 6, true, true})
                             .bytes({0, false, false, false, 0, true});
const qint64 zip64Record = zip64.lastIndexOf("PK\6\6");
const QByteArray file = QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(39).left(1000);

QByteArray part(qint64 first, qint64 last, qint64 total = 1000)
{
    return "\r\n--B\r\nContent-Type: application/zip\r\nContent-Range: bytes "
           + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
           + QByteArray::number(total) + "\r\n\r\n" + file.mid(first, last - first + 1);
}
const QByteArray closing = "\r\n--B--\r\n";

// Stored entries "name=c" of 1000 times c, a folder and a skipped entry; "size" gives the second
// entry another size with its CRC, "encrypted", "bzip2" and "mode" change the first.
QByteArray zipOf(const QString &layout)
{
    ZipBuilder builder;
    for (const QString &entry : layout.split(' ')) {
        if (entry.contains('='))
            builder.addStoredFile(entry.section('=', 0, 0).toUtf8(),
                                  QByteArray(1000, entry.section('=', 1).at(0).toLatin1()));
    }
    QByteArray bytes =
        builder.add({"r/d/", {}, false, 0}).addStoredFile("r/.gitattributes", "*").bytes();
    if (layout.endsWith("size"))
        ZipBuilder::patch(bytes, 1, ZipBuilder::UncompressedSize, 999);
    if (layout.endsWith("encrypted"))
        ZipBuilder::patch(bytes, 0, ZipBuilder::Flags, 1);
    if (layout.endsWith("mode")) { // made on Unix, with a mode
        bytes = central(central(bytes, 0, 4, 0x031e, 2), 0, 38, 0100755u << 16, 4);
    }
    if (layout.endsWith("bzip2"))
        ZipBuilder::patch(bytes, 0, ZipBuilder::Method, 12);
    return bytes;
}
} // namespace

class TestDelta : public QObject
{
    Q_OBJECT

private slots:
    void directory_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<qint64>("tail"); // the archive's last bytes given; -1: all
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("needFrom");
        QTest::addColumn<QStringList>("entries"); // name, method, flags, host, Unix mode

        const auto row = [](const char *name, const QByteArray &archive, qint64 tail,
                            Z::Status status, qint64 needFrom = 0, QStringList entries = {}) {
            QTest::newRow(name) << archive << tail << int(status) << needFrom << entries;
        };
        const auto damaged = [&](const char *name, const QByteArray &archive) {
            row(name, archive, -1, Z::Damaged);
        };
        const qint64 dir = plain.indexOf("PK\1\2");
        const QStringList plainEntries = {"repo/a.txt 8 0 0 0", "repo/b.txt 0 0 0 0",
                                          "repo/d/ 0 0 0 0", "repo/x 8 0 3 100755"};
        row("whole", plain, -1, Z::Parsed, 0, plainEntries);
        row("from the directory on", plain, plain.size() - dir, Z::Parsed, 0, plainEntries);
        row("one byte short of the directory", plain, plain.size() - dir - 1, Z::NeedMore, dir);
        row("the end record alone", plain, 22, Z::NeedMore, dir);
        const QByteArray comment = "PK\5\6" + QByteArray(296, 'c');
        ZipBuilder::Form form;
        form.comment = comment;
        const QByteArray commented = ZipBuilder().add({"c", "c", false, 0100644}).bytes(form);
        row("comment", commented, 400, Z::Parsed, 0, {"c 0 0 3 100644"});
        row("comment longer than the bytes", commented, 200, Z::NeedMore, 0);
        row("ZIP64", zip64, -1, Z::Parsed, 0,
            {"s.txt 0 0 3 100644", "big.bin 0 0 3 100644", "desc 0 8 3 100644",
             "both 0 8 3 100644"});
        row("ZIP64 record not in the bytes", zip64, zip64.size() - zip64Record - 1, Z::NeedMore,
            zip64Record);
        damaged("ZIP64 record damaged", patched(zip64, zip64Record, 0, 4));
        // The data and the smallest descriptor reach the next entry.
        damaged("descriptor into the next entry", central(zip64, 2, 20, 14, 4));
        // Past any archive: -1000 as a signed number.
        damaged("ZIP64 offset past the end",
                central(zip64, 1, 46 + 7 + 4 + 16, 0xFFFFFFFFFFFFFC18, 8));
        damaged("ZIP64 count past the directory",
                patched(patched(zip64, zip64Record + 24, 1ll << 40, 8), zip64Record + 32, 1ll << 40,
                        8));
        row("not a ZIP", QByteArray(70000, 'x'), -1, Z::NotZip);
        row("shorter than an end record", "PK\5\6", -1, Z::NotZip);
        damaged("entry at the directory", central(plain, 3, 42, quint64(dir), 4));
        damaged("entries at one offset", central(plain, 1, 42, 0, 4));
        damaged("data into the next entry", central(plain, 0, 20, 2000, 4));
        damaged("ZIP64 field missing", central(plain, 0, 20, 0xFFFFFFFF, 4));
        damaged("entry on another disk", central(plain, 0, 34, 1, 2));
        damaged("name past the directory", central(plain, 3, 28, 60, 2));
        damaged("counts disagree", patched(plain, plainEnd + 8, 3, 2));
        damaged("one entry more", patched(patched(plain, plainEnd + 8, 5, 2), plainEnd + 10, 5, 2));
        damaged("one entry less", patched(patched(plain, plainEnd + 8, 3, 2), plainEnd + 10, 3, 2));
        damaged("another disk", patched(plain, plainEnd + 4, 1, 2));
        damaged("directory past the end", patched(plain, plainEnd + 16, quint64(dir + 1), 4));
    }
    void directory()
    {
        QFETCH(QByteArray, archive);
        QFETCH(qint64, tail);
        QFETCH(int, status);
        const Z directory = Z::parse(tail < 0 ? archive : archive.right(tail), archive.size());
        QCOMPARE(directory.status(), status);
        if (status == Z::NeedMore)
            QTEST(directory.needFrom(), "needFrom");
        QStringList entries;
        qint64 extentsSize = 0;
        const QList<ZipExtent> extents = directory.extents();
        for (qsizetype i = 0; i < extents.size(); ++i) {
            const ZipEntry &entry = directory.entries().at(i);
            entries << QString::asprintf("%s %d %d %d %o", qPrintable(entry.name), entry.method,
                                         entry.flags, entry.versionMadeBy >> 8,
                                         entry.externalAttributes >> 16);
            // The extents tile the entries' data, and each holds its entry whole.
            const ZipExtent extent = extents.at(i);
            extentsSize += extent.end - extent.begin;
            qint64 data = 0, length = 0;
            const QByteArray bytes = archive.mid(extent.begin, extent.end - extent.begin);
            QCOMPARE(L::check(bytes, entry, &data, &length), L::Matches);
            QVERIFY(length <= bytes.size());
            if (entry.method == 0)
                QCOMPARE(quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.data() + data),
                                       uInt(entry.uncompressedSize))),
                         entry.crc32);
        }
        QTEST(entries, "entries");
        if (status == Z::Parsed)
            QCOMPARE(extentsSize, directory.directoryOffset());
    }

    void localHeader_data()
    {
        QTest::addColumn<int>("entry");
        QTest::addColumn<int>("at"); // a field of the local header, overwritten
        QTest::addColumn<int>("size");
        QTest::addColumn<quint64>("value");
        QTest::addColumn<int>("cut"); // bytes given; -1: the whole extent
        QTest::addColumn<int>("verdict");
        QTest::addColumn<qint64>("length");

        const auto row = [](const char *name, int entry, int at, int size, quint64 value, int cut,
                            L::Verdict verdict, qint64 length = 0) {
            QTest::newRow(name) << entry << at << size << value << cut << int(verdict) << length;
        };
        row("stored", 0, 0, 0, 0, -1, L::Matches, 30 + 5 + 6);
        row("ZIP64 sizes", 1, 0, 0, 0, -1, L::Matches, 30 + 7 + 20 + 300);
        row("descriptor", 2, 0, 0, 0, -1, L::Matches, 30 + 4 + 9 + 16);
        row("ZIP64 descriptor", 3, 0, 0, 0, -1, L::Matches, 30 + 4 + 20 + 11 + 24);
        row("other CRC", 0, 14, 4, 1, -1, L::Differs);
        row("other CRC, descriptor", 2, 14, 4, 1, -1, L::Matches, 30 + 4 + 9 + 16);
        row("other compressed size", 0, 18, 4, 5, -1, L::Differs);
        row("other size", 0, 22, 4, 5, -1, L::Differs);
        row("other ZIP64 size", 1, 30 + 7 + 4, 8, 5, -1, L::Differs);
        row("other ZIP64 compressed size", 1, 30 + 7 + 12, 8, 5, -1, L::Differs);
        row("ZIP64 field missing", 1, 30 + 7, 2, 9, -1, L::Differs);
        row("other method", 0, 8, 2, 8, -1, L::Differs);
        row("no descriptor flag", 2, 6, 2, 0, -1, L::Differs);
        row("other name", 0, 30, 1, 'X', -1, L::Differs);
        row("longer name", 0, 26, 2, 6, -1, L::Differs);
        row("no signature", 0, 0, 1, 'Q', -1, L::NotHeader);
        row("fixed part cut", 0, 0, 0, 0, 29, L::Short);
        row("extra field cut", 1, 0, 0, 0, 30 + 7 + 19, L::Short);
    }
    void localHeader()
    {
        QFETCH(int, entry);
        QFETCH(int, at);
        QFETCH(int, size);
        QFETCH(int, cut);
        QFETCH(quint64, value);
        const Z directory = Z::parse(zip64, zip64.size());
        const ZipExtent extent = directory.extents().value(entry);
        QByteArray bytes = zip64.mid(extent.begin, cut < 0 ? extent.end - extent.begin : cut);
        bytes = patched(bytes, at, value, size);
        qint64 data = 0, length = 0;
        QTEST(int(L::check(bytes, directory.entries().at(entry), &data, &length)), "verdict");
        QTEST(length, "length");
    }

    void merge_data()
    {
        QTest::addColumn<Pairs>("wanted");
        QTest::addColumn<Pairs>("merged");
        QTest::newRow("far apart") << Pairs{0, 10, 65546, 65600} << Pairs{0, 10, 65546, 65600};
        QTest::newRow("closer than 64 KiB") << Pairs{0, 10, 65545, 65600} << Pairs{0, 65600};
        QTest::newRow("unsorted, overlapping, inside")
            << Pairs{900, 1100, 200000, 200001, 0, 1000, 1000, 1050}
            << Pairs{0, 1100, 200000, 200001};
        QTest::newRow("empty") << Pairs{5, 5, 300000, 300010} << Pairs{300000, 300010};
    }
    void merge()
    {
        QFETCH(Pairs, wanted);
        QTEST(pairs(RangePlan::merge(ranges(wanted))), "merged");
    }

    void requests()
    {
        QList<ByteRange> wanted;
        for (qint64 i = 0; i < 70; ++i)
            wanted.append({i * 100000, i * 100000 + 10});
        const QList<QList<ByteRange>> groups = RangePlan::group(RangePlan::merge(wanted));
        QCOMPARE(groups.size(), 3);
        QCOMPARE(groups.at(1).size(), 32);
        QCOMPARE(pairs(groups.at(2).mid(0, 1)), Pairs({6400000, 6400010}));
        QCOMPARE(RangePlan::totalSize(wanted), 700ll);
        QCOMPARE(RangePlan::header(groups.at(2).mid(0, 2)),
                 "bytes=6400000-6400009,6500000-6500009");
        QVERIFY(!DeltaPlan::tooLarge(600, 1000));
        QVERIFY(DeltaPlan::tooLarge(601, 1000));
    }

    void answer_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("value"); // Content-Range
        QTest::addColumn<int>("answer");
        QTest::addColumn<Pairs>("range"); // the single part's, of 0-99 and 500-999 asked for
        using A = ByteRangesReader::Answer;
        const auto row = [](const char *name, const char *value, A answer, const Pairs &range = {},
                            int status = 206, const char *type = "application/zip") {
            QTest::newRow(name) << status << QByteArray(type) << QByteArray(value) << int(answer)
                                << range;
        };
        row("one part", "bytes 0-99/1000", A::OnePart, {0, 100});
        row("to the end", " Bytes 999-999/1000", A::OnePart, {999, 1000});
        row("past the end", "bytes 0-1000/1000", A::Unusable);
        row("unknown length", "bytes 0-99/*", A::Unusable);
        row("other length", "bytes 0-99/999", A::Unusable);
        row("backwards", "bytes 9-8/1000", A::Unusable);
        row("sign", "bytes +0-9/1000", A::Unusable);
        row("no length", "bytes 0-9", A::Unusable);
        row("other unit", "items 0-9/1000", A::Unusable);
        row("two asked as one", "bytes 0-599/1000", A::Unusable);
        row("parts", "", A::Parts, {}, 206, "multipart/byteranges; boundary=B");
        row("whole", "", A::Whole, {}, 200, "multipart/byteranges; boundary=B");
        row("refused", "bytes */1000", A::Unusable, {}, 416);
    }
    void answer()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, value);
        const QList<ByteRange> asked = {{0, 100}, {500, 1000}};
        QTEST(int(ByteRangesReader::answer(status, type, value, asked, 1000)), "answer");
        const auto range = ByteRangesReader::singlePart(value, asked, 1000);
        QTEST(range ? pairs({*range}) : Pairs(), "range");
    }

    void boundary()
    {
        QCOMPARE(ByteRangesReader::boundaryOf("multipart/byteranges; boundary=00042"), "00042");
        QCOMPARE(ByteRangesReader::boundaryOf("Multipart/ByteRanges;boundary=\"a b\""), "a b");
        QCOMPARE(ByteRangesReader::boundaryOf("multipart/mixed; boundary=x"), "");
        QCOMPARE(ByteRangesReader::boundaryOf("multipart/byteranges; boundary"), "");
    }

    void multipart_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QString>("outcome"); // "ok", "failed", or "open": waiting for more
        QTest::addColumn<Pairs>("missing");   // of 0-99 and 500-599, asked for
        const auto row = [](const char *name, const QByteArray &body, int chunk,
                            const char *outcome, const Pairs &missing = {}) {
            QTest::newRow(name) << body << chunk << QString(outcome) << missing;
        };
        row("in order, byte by byte", part(0, 99) + part(500, 599) + closing, 1, "ok");
        row("reordered", part(500, 599) + part(0, 99) + closing, 7, "ok");
        row("one part of two", part(500, 599) + closing, 1000, "ok", {0, 100});
        row("part of a range", part(10, 19) + closing, 3, "ok", {0, 10, 20, 100, 500, 600});
        row("preamble, padding, header case",
            "pre--Bamble\r\n--B \t\r\ncontent-range:bytes 0-99/1000\r\n\r\n" + file.left(100)
                + closing + "epilogue",
            11, "ok", {500, 600});
        row("other length", part(0, 99, 999) + closing, 1000, "failed");
        row("not asked for", part(100, 199) + closing, 1000, "failed");
        row("overlapping parts", part(0, 99) + part(50, 99) + closing, 1000, "failed");
        row("no closing boundary", part(0, 99), 1000, "open");
        row("cut short", part(0, 99).chopped(1), 1000, "open");
        row("part longer than its range", part(0, 99) + "x" + closing, 1000, "failed");
        row("no Content-Range", "\r\n--B\r\nContent-Type: x\r\n\r\nabc" + closing, 1000, "failed");
        row("two Content-Ranges",
            "\r\n--B\r\nContent-Range: bytes 0-9/1000\r\nContent-Range: bytes 0-9/1000\r\n\r\n"
                + file.left(10) + closing,
            1000, "failed");
        row("no headers", "\r\n--B\r\n\r\nabc" + closing, 1000, "failed");
        row("text after the boundary", "\r\n--Bx\r\n" + part(0, 99).mid(7) + closing, 1000,
            "failed");
        row("endless headers", "--B\r\n" + QByteArray(9000, 'h'), 1000, "failed");
    }
    void multipart()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, chunk);
        ByteRangesReader reader("B", {{0, 100}, {500, 600}}, 1000);
        QList<ByteRangesReader::Piece> pieces;
        for (qsizetype at = 0; at < body.size(); at += chunk)
            reader.feed(QByteArrayView(body).sliced(at, qMin<qsizetype>(chunk, body.size() - at)),
                        pieces);
        qint64 received = 0;
        for (const ByteRangesReader::Piece &piece : pieces) {
            QCOMPARE(piece.bytes, file.mid(piece.offset, piece.bytes.size()));
            received += piece.bytes.size();
        }
        QTEST(QString(reader.failed() ? "failed" : reader.finish() ? "ok" : "open"), "outcome");
        if (reader.finish()) {
            QTEST(pairs(reader.missing()), "missing");
            QCOMPARE(received, RangePlan::totalSize(reader.received()));
        }
    }

    void plan_data()
    {
        QTest::addColumn<QString>("archive");    // "name=c": 1000 c; a folder and a skipped entry
        QTest::addColumn<QStringList>("onDisk"); // "name=content", or "name" to remove it
        QTest::addColumn<QStringList>("plan");   // "fetch name", "remove name", "keep name"
        const auto row = [](const char *name, const QString &archive, const QStringList &onDisk,
                            const QStringList &plan) {
            QTest::newRow(name) << archive << onDisk << plan;
        };
        const QString same = "r/a=a r/b=b r/c=c";
        row("nothing changed", same, {}, {});
        row("new data", "r/a=c r/b=b r/c=c", {}, {"fetch r/a"});
        row("new size, same CRC", same + " size", {}, {"fetch r/b"});
        row("file rewritten", same, {"r/b=" + QString(1000, 'b')}, {"fetch r/b"});
        row("file grown", same, {"r/b=" + QString(1001, 'b')}, {"fetch r/b"});
        row("file removed", same, {"r/b"}, {"fetch r/b"});
        row("new entry", same + " r/e=e", {}, {"fetch r/e"});
        row("new mode", same + " mode", {}, {"fetch r/a"});
        row("dropped", "r/a=a r/b=b", {}, {"remove r/c"});
        row("dropped, changed since", "r/a=a r/b=b", {"r/c=" + QString(1000, 'c')}, {"keep r/c"});
        row("renamed in case", "r/a=a r/b=b r/C=c", {}, {"fetch r/C"});
        row("most entries new", "r/a=b r/b=c r/c=a", {},
            {"fetch r/a", "fetch r/b", "fetch r/c", "whole"});
        row("encrypted", "r/a=c r/b=b r/c=c encrypted", {}, {"fetch r/a", "whole"});
        row("other method", "r/a=c r/b=b r/c=c bzip2", {}, {"fetch r/a", "whole"});
    }
    void plan()
    {
        QFETCH(QString, archive);
        QFETCH(QStringList, onDisk);
        QTemporaryDir root;
        for (const char *name : {"r/a", "r/b", "r/c"})
            QVERIFY(LauncherRun::writeFile(root.filePath(name), QByteArray(1000, name[2])));
        const QByteArray before = zipOf("r/a=a r/b=b r/c=c");
        const InstallIndex index = InstallIndex::record(Z::parse(before, before.size()), "u",
                                                        before.size(), "v", root.path());
        QCOMPARE(index.entries.size(), 5);
        for (const QString &change : onDisk) {
            const QString path = root.filePath(change.section('=', 0, 0));
            QFile::remove(path);
            if (!change.contains('='))
                continue;
            QVERIFY(LauncherRun::writeFile(path, change.section('=', 1).toUtf8()));
            QFile rewritten(path);
            QVERIFY(rewritten.open(QIODevice::ReadWrite)
                    && rewritten.setFileTime(QDateTime::fromSecsSinceEpoch(1e9),
                                             QFile::FileModificationTime));
        }
        const QByteArray after = zipOf(archive);
        const Z directory = Z::parse(after, after.size());
        const DeltaPlan plan = DeltaPlan::make(directory, after.size(), index, root.path());
        QStringList steps;
        for (qsizetype i : plan.fetch)
            steps << "fetch " + directory.entries().at(i).name;
        for (const QString &name : plan.dropped.removable)
            steps << "remove " + name;
        for (const QString &name : plan.dropped.changed)
            steps << "keep " + name;
        if (plan.wholeArchive)
            steps << "whole";
        QTEST(steps, "plan");
        QCOMPARE(plan.withoutData.size(), 2);
        QCOMPARE(plan.unchanged.size() + plan.fetch.size() + 2, directory.entries().size());
        QCOMPARE(plan.totalBytes, RangePlan::totalSize(plan.ranges));
        QCOMPARE(plan.requests.size(), plan.fetch.isEmpty() ? 0 : 1);
    }

    void indexFile()
    {
        InstallIndex index{"https://h/a b.zip", 5000, "\"v1\"", {}};
        index.entries = {{"r/a b%\n\xc3\xa9", 0xabcd, 10, 20, 8, 0, 100, 20, -5},
                         {"r/d/", 0xFFFFFFFF, 0, 0, 0, 100, 5000, -1, 0}};
        const QString path = InstallIndex::path(QDir::currentPath(), "my repo");
        QCOMPARE(path, QDir::currentPath() + "/.veltro-update/index/my%20repo.idx");
        QVERIFY(index.write(path));
        const auto read = InstallIndex::read(path);
        QVERIFY(read);
        QCOMPARE(read->serialize(), index.serialize());
        QCOMPARE(read->entries.first().name, index.entries.first().name);
        QVERIFY(!InstallIndex::read(path + ".none"));
    }

    void malformedIndex_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        // Pairs of a text in the index below and what replaces it.
        const char *const changes[] =
            {"end\n",        "",          "end\n",    "end\nx",    "index 1",   "index 2",
             "entries 2",    "entries 3", "0000abcd", "0000ABCD",  " 10 20 8",  " 010 20 8",
             "archive 5000", "archive 0", " 10 20 8", " -10 20 8", " 0 100 20", " 100 100 20",
             "100 5000",     "100 5001",  " -1 0 ",   " -2 0 ",    " 8 420 ",   " 65536 420 ",
             " 420 ",        " 65536 ",   "a%20b",    "a%2fb",     "a%20b",     "a b",
             "r/d/",         "r/a%20b",   "r/d/",     "%",         "r/d/",      "r/%FF",
             "\n",           "\r\n"};
        for (size_t i = 0; i < std::size(changes); i += 2)
            QTest::addRow("%s -> %s", QByteArray(changes[i]).replace('\n', "\\n").constData(),
                          QByteArray(changes[i + 1]).replace('\n', "\\n").constData())
                << QByteArray(changes[i]) << QByteArray(changes[i + 1]);
    }
    void malformedIndex()
    {
        const QByteArray text = "veltro-install-index 1\narchive 5000 https%3A//h/x %22v1%22\n"
                                "entries 2\n0000abcd 10 20 8 420 0 100 20 170 r/a%20b\n"
                                "ffffffff 0 0 0 0 100 5000 -1 0 r/d/\nend\n";
        QCOMPARE(InstallIndex::parse(text).value_or(InstallIndex()).serialize(), text);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QVERIFY(!InstallIndex::parse(QByteArray(text).replace(from, to)));
    }

    void quickCheck()
    {
        QTemporaryDir root;
        const QByteArray archive = zipOf("r/kept=k r/gone=g r/grown=g r/folder=f");
        for (const char *name : {"r/kept", "r/gone", "r/grown", "r/folder"})
            QVERIFY(LauncherRun::writeFile(root.filePath(name), QByteArray(1000, 'x')));
        const InstallIndex index = InstallIndex::record(Z::parse(archive, archive.size()), "u",
                                                        archive.size(), "v", root.path());
        QVERIFY(QFile::remove(root.filePath("r/gone")) && QFile::remove(root.filePath("r/folder")));
        QVERIFY(QDir().mkpath(root.filePath("r/folder")));
        QVERIFY(LauncherRun::writeFile(root.filePath("r/grown"), QByteArray(1001, 'x')));
        QVERIFY(LauncherRun::writeFile(root.filePath("r/.gitattributes"),
                                       "*")); // never installed, so never checked
        QCOMPARE(index.changedFiles(root.path()), QStringList({"r/gone", "r/grown", "r/folder"}));
        QCOMPARE(index.dropped({"r/kept"}, root.path()).changed, index.changedFiles(root.path()));
    }

    void fetched_data()
    {
        QTest::addColumn<int>("zip64"); // of the new archive, as ZipBuilder::Form gives them
        QTest::addColumn<bool>("descriptor");
        QTest::addColumn<bool>("withheld"); // the first fetched entry's bytes left out
        QTest::addColumn<bool>("flipped");  // a byte of its data changed on the way
        QTest::addColumn<int>("moreWanted");
        QTest::addColumn<QString>("damaged"); // the result's detail; empty: installed
        QTest::newRow("installed") << 0 << false << false << false << 0 << "";
        QTest::newRow("ZIP64") << 7 << false << false << false << 0 << "";
        QTest::newRow("descriptors") << 0 << true << false << false << 0 << "";
        QTest::newRow("entry not fetched")
            << 0 << false << true << false << 0 << "repo/changed.txt";
        QTest::newRow("byte flipped") << 0 << true << false << true << 0 << "repo/changed.txt";
        QTest::newRow("one wanted more") << 0 << false << false << false << 1 << "ranged.part";
        QTest::newRow("one wanted less") << 0 << false << false << false << -1 << "ranged.part";
    }
    // An update installed from what a delta update fetches: the new archive's end and the plan's
    // ranges. Only the changed entries are read and installed, all or nothing; the unchanged
    // file, which lies outside every piece, stays as it was.
    void fetched()
    {
        QFETCH(int, zip64);
        QFETCH(bool, descriptor);
        QFETCH(bool, withheld);
        QFETCH(bool, flipped);
        QFETCH(int, moreWanted);
        QFETCH(QString, damaged);
        QTemporaryDir root;
        const QString hash = root.filePath("hash"), same = root.filePath("repo/same.txt");
        const auto version = [](const char *seed) {
            return ZipBuilder()
                .add({"repo/same.txt", QByteArray(2000, 's'), false, 0})
                .addFile("repo/changed.txt", LauncherRun::noise(1500, seed));
        };
        QVERIFY(version("1").addFile("repo/dropped.txt", "d").write("v1.zip"));
        QVERIFY(version("2")
                    .add({"repo/new/", {}, false, 0})
                    .addFile("repo/new/n.txt", "n2")
                    .write("v2.zip", {zip64, false, zip64 != 0, descriptor}));
        QVERIFY(ZipExtractor::extractInto("v2.zip", root.filePath("whole"), {}).ok());
        QVERIFY(ZipExtractor::extractInto("v1.zip", root.path(), {hash, "c1"}).ok());
        const QDateTime modified = QFileInfo(same).lastModified();
        const InstallIndex index = InstallIndex::record(Z::read("v1.zip"), "u", 0, "v",
                                                        root.path());
        const QMap<QString, QByteArray> before = LauncherRun::tree(root.filePath("repo"));

        const QByteArray archive = LauncherRun::readAll("v2.zip");
        const Z directory = Z::read("v2.zip");
        const DeltaPlan plan = DeltaPlan::make(directory, archive.size(), index, root.path());
        QCOMPARE(plan.fetch, QList<qsizetype>({1, 3}));
        // The end as minizip looks for it, and the ranges before that.
        const qint64 tail = qMin(directory.directoryOffset(),
                                 archive.size() - RangedArchive::endSearchSize);
        const ZipExtent gap = withheld ? directory.extents().at(1) : ZipExtent();
        QByteArray served = archive;
        served[directory.extents().at(1).begin + 200] ^= char(flipped);
        RangedArchive ranged("ranged.part", archive.size());
        const auto feed = [&](qint64 begin, qint64 end) {
            return begin >= end || ranged.add(begin, served.mid(begin, end - begin));
        };
        QVERIFY(feed(tail, archive.size()));
        for (const ByteRange &range : plan.ranges)
            QVERIFY(feed(range.begin, std::min({range.end, gap.begin, tail}))
                    && feed(qMax(range.begin, gap.end), qMin(range.end, tail)));

        QList<bool> wanted(directory.entries().size() + moreWanted);
        qint64 size = 0, reported = -1;
        for (const qsizetype i : plan.fetch) {
            wanted[i] = true;
            size += directory.entries().at(i).uncompressedSize;
        }
        DiskSpace::freeSpaceHook = [size](const QString &) { return size; };
        const auto unhook = qScopeGuard([] { DiskSpace::freeSpaceHook = nullptr; });
        const auto report = [&](InstallPhase phase, qint64, qint64 total) {
            reported = phase == InstallPhase::Extracting ? total : reported;
        };
        const ExtractionResult result = ZipExtractor::extractFetched(ranged, wanted, root.path(),
                                                                     {hash, "c2"}, report);
        QCOMPARE(result.detail, damaged);
        QMap<QString, QByteArray> after = LauncherRun::tree(root.filePath("whole/repo"));
        after.insert("dropped.txt", before.value("dropped.txt"));
        QCOMPARE(LauncherRun::tree(root.filePath("repo")), result.ok() ? after : before);
        QCOMPARE(LauncherRun::readAll(hash), result.ok() ? "c2" : "c1");
        QCOMPARE(QFileInfo(same).lastModified(), modified);
        QVERIFY(!result.ok() || reported == size);
    }

    // The end of the archive and one entry fetched, in pieces out of order: both read back as in
    // the whole archive; a read that reaches a byte never fetched, or bytes held twice, refused.
    void rangedArchive()
    {
        const QByteArray archive = zipOf("a=a b=b c=c");
        const Z directory = Z::parse(archive, archive.size());
        const qint64 tail = directory.extents().at(2).begin + 100;
        const ZipExtent b = directory.extents().at(1);
        RangedArchive ranged("ranged.part", archive.size());
        QVERIFY(ranged.add(tail, archive.mid(tail, 10))
                && ranged.add(tail + 10, archive.mid(tail + 10)));
        // Next to each other in the archive, not in the file of pieces: b's start, end, middle.
        QVERIFY(ranged.add(b.begin, archive.mid(b.begin, 7)));
        QVERIFY(ranged.add(b.begin + 20, archive.mid(b.begin + 20, b.end - b.begin - 20)));
        QVERIFY(ranged.add(b.begin + 7, archive.mid(b.begin + 7, 13)));
        QVERIFY(!ranged.add(b.begin + 3, "x"));
        QVERIFY(!ranged.add(b.begin - 1, "xx"));
        QVERIFY(!ranged.add(archive.size(), "x"));
        QVERIFY(ranged.holds(b.begin, b.end - b.begin) && !ranged.holds(b.begin - 1, 2));
        const auto readBack = [&](qint64 from, qint64 size) {
            QByteArray data(size, 0);
            return ranged.readRaw(from, data.data(), size) ? data : QByteArray();
        };
        QCOMPARE(readBack(b.begin, b.end - b.begin), archive.mid(b.begin, b.end - b.begin));
        QCOMPARE(readBack(tail, archive.size() - tail), archive.mid(tail));
        QVERIFY(readBack(b.begin, b.end - b.begin + 1).isEmpty());
    }
};

VELTRO_TEST_MAIN(TestDelta)
#include "tst_delta.moc"
