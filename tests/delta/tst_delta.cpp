#include "extract/deltaplan.h"
#include "extract/installindex.h"
#include "extract/rangedarchive.h"
#include "extract/zipdirectory.h"
#include "sync/byteranges.h"
#include "sync/rangeplan.h"

#include "rawzip.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <unzip.h>
#include <zlib.h>

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

const QByteArray plain = ZipBuilder()
                             .addFile("repo/a.txt", QByteArray(900, 'a'))
                             .addStoredFile("repo/b.txt", "bb")
                             .add({"repo/d/", {}, false, 0})
                             .addFile("repo/x", "#!", 0100755)
                             .bytes();
const qint64 plainEnd = plain.lastIndexOf("PK\5\6");
const QByteArray zip64 = RawZip()
                             .add({"s.txt", "stored", false, false})
                             .add({"big.bin", QByteArray(300, 'g'), false, true})
                             .add({"desc", "described", true, false})
                             .add({"both", "described64", true, true})
                             .setZip64End(true)
                             .bytes();
const qint64 zip64Record = zip64.lastIndexOf("PK\6\6");
const QByteArray file = [] {
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.append(char('a' + i % 26));
    return bytes;
}();

QByteArray part(qint64 first, qint64 last, qint64 total = 1000)
{
    return "\r\n--B\r\nContent-Type: application/zip\r\nContent-Range: bytes "
           + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
           + QByteArray::number(total) + "\r\n\r\n" + file.mid(first, last - first + 1);
}
const QByteArray closing = "\r\n--B--\r\n";

void writeFile(const QString &path, const QByteArray &data)
{
    QFile out(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()) && out.open(QIODevice::WriteOnly));
    out.write(data);
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

        const qint64 dir = RawZip::directoryOffset(plain);
        const QStringList plainEntries = {"repo/a.txt 8 0 0 0", "repo/b.txt 0 0 0 0",
                                          "repo/d/ 0 0 0 0", "repo/x 8 0 3 100755"};
        const QStringList zip64Entries = {"s.txt 0 0 3 100644", "big.bin 0 0 3 100644",
                                          "desc 0 8 3 100644", "both 0 8 3 100644"};
        QTest::newRow("whole") << plain << qint64(-1) << int(Z::Parsed) << 0ll << plainEntries;
        QTest::newRow("from the directory on")
            << plain << plain.size() - dir << int(Z::Parsed) << 0ll << plainEntries;
        QTest::newRow("one byte short of the directory")
            << plain << plain.size() - dir - 1 << int(Z::NeedMore) << dir << QStringList();
        QTest::newRow("the end record alone")
            << plain << 22ll << int(Z::NeedMore) << dir << QStringList();
        QTest::newRow("no end record in the bytes")
            << plain << 21ll << int(Z::NeedMore) << 0ll << QStringList();
        const QByteArray comment = "PK\5\6" + QByteArray(296, 'c');
        const QByteArray commented = RawZip().add({"c", "c"}).setComment(comment).bytes();
        QTest::newRow("comment") << commented << 400ll << int(Z::Parsed) << 0ll
                                 << QStringList{"c 0 0 3 100644"};
        QTest::newRow("comment longer than the bytes")
            << commented << 200ll << int(Z::NeedMore) << 0ll << QStringList();
        QTest::newRow("ZIP64") << zip64 << qint64(-1) << int(Z::Parsed) << 0ll << zip64Entries;
        QTest::newRow("ZIP64 record not in the bytes")
            << zip64 << zip64.size() - zip64Record - 1 << int(Z::NeedMore) << zip64Record
            << QStringList();
        QTest::newRow("ZIP64 record damaged") << patched(zip64, zip64Record, 0, 4) << qint64(-1)
                                              << int(Z::Damaged) << 0ll << QStringList();
        QTest::newRow("not a ZIP")
            << QByteArray(70000, 'x') << qint64(-1) << int(Z::NotZip) << 0ll << QStringList();
        QTest::newRow("shorter than an end record")
            << QByteArray("PK\5\6") << qint64(-1) << int(Z::NotZip) << 0ll << QStringList();
        const auto damaged = [&](const char *name, const QByteArray &archive) {
            QTest::newRow(name) << archive << qint64(-1) << int(Z::Damaged) << 0ll << QStringList();
        };
        const auto central = [](int index, int offset, quint64 value, int size) {
            QByteArray archive = plain;
            RawZip::patchCentral(archive, index, offset, value, size);
            return archive;
        };
        damaged("entry at the directory", central(3, 42, quint64(dir), 4));
        damaged("entries at one offset", central(1, 42, 0, 4));
        damaged("data into the next entry", central(0, 20, 2000, 4));
        damaged("ZIP64 field missing", central(0, 20, 0xFFFFFFFF, 4));
        damaged("entry on another disk", central(0, 34, 1, 2));
        damaged("name past the directory", central(3, 28, 60, 2));
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
            entries << QString("%1 %2 %3 %4 %5")
                           .arg(entry.name)
                           .arg(entry.method)
                           .arg(entry.flags)
                           .arg(entry.versionMadeBy >> 8)
                           .arg(entry.externalAttributes >> 16, 0, 8);
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
        row("signature only", 0, 0, 0, 0, 4, L::Short);
        row("fixed part cut", 0, 0, 0, 0, 29, L::Short);
        row("name cut", 1, 0, 0, 0, 30 + 7, L::Short);
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
            << Pairs{500, 600, 200000, 200001, 0, 1000, 900, 1100}
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

    void contentRange_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<Pairs>("requested");
        QTest::addColumn<Pairs>("range"); // empty: refused
        const Pairs all{0, 1000};
        QTest::newRow("range") << QByteArray("bytes 0-99/1000") << all << Pairs{0, 100};
        QTest::newRow("to the end") << QByteArray(" Bytes 999-999/1000") << all << Pairs{999, 1000};
        QTest::newRow("past the end") << QByteArray("bytes 0-1000/1000") << all << Pairs{};
        QTest::newRow("unknown length") << QByteArray("bytes 0-99/*") << all << Pairs{};
        QTest::newRow("other length") << QByteArray("bytes 0-99/999") << all << Pairs{};
        QTest::newRow("backwards") << QByteArray("bytes 9-8/1000") << all << Pairs{};
        QTest::newRow("sign") << QByteArray("bytes +0-9/1000") << all << Pairs{};
        QTest::newRow("no length") << QByteArray("bytes 0-9") << all << Pairs{};
        QTest::newRow("other unit") << QByteArray("items 0-9/1000") << all << Pairs{};
        QTest::newRow("one of those asked")
            << QByteArray("bytes 500-599/1000") << Pairs{0, 100, 500, 600} << Pairs{500, 600};
        QTest::newRow("two asked as one")
            << QByteArray("bytes 0-599/1000") << Pairs{0, 100, 500, 600} << Pairs{};
    }
    void contentRange()
    {
        QFETCH(QByteArray, value);
        QFETCH(Pairs, requested);
        const auto range = ByteRangesReader::singlePart(value, ranges(requested), 1000);
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
        QTest::addColumn<Pairs>("requested");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<Pairs>("missing");
        const Pairs two{0, 100, 500, 600};
        QTest::newRow("in order, byte by byte")
            << part(0, 99) + part(500, 599) + closing << two << 1 << true << Pairs{};
        QTest::newRow("reordered")
            << part(500, 599) + part(0, 99) + closing << two << 7 << true << Pairs{};
        QTest::newRow("one part of two")
            << part(500, 599) + closing << two << 1000 << true << Pairs{0, 100};
        QTest::newRow("part of a range")
            << part(10, 19) + closing << two << 3 << true << Pairs{0, 10, 20, 100, 500, 600};
        QTest::newRow("preamble, padding, header case")
            << "preamble\r\n--B \t\r\ncontent-range:bytes 0-99/1000\r\n\r\n" + file.left(100)
                   + closing + "epilogue"
            << two << 11 << true << Pairs{500, 600};
        QTest::newRow("other length")
            << part(0, 99, 999) + closing << two << 1000 << false << Pairs{};
        QTest::newRow("not asked for")
            << part(100, 199) + closing << two << 1000 << false << Pairs{};
        QTest::newRow("overlapping parts")
            << part(0, 99) + part(50, 99) + closing << two << 1000 << false << Pairs{};
        QTest::newRow("no closing boundary") << part(0, 99) << two << 1000 << false << Pairs{};
        QTest::newRow("cut short") << part(0, 99).chopped(1) << two << 1000 << false << Pairs{};
        QTest::newRow("part longer than its range")
            << part(0, 99) + "x" + closing << two << 1000 << false << Pairs{};
        QTest::newRow("no Content-Range")
            << "\r\n--B\r\nContent-Type: x\r\n\r\nabc" + closing << two << 1000 << false << Pairs{};
        QTest::newRow("no headers")
            << "\r\n--B\r\n\r\nabc" + closing << two << 1000 << false << Pairs{};
        QTest::newRow("text after the boundary")
            << "\r\n--Bx\r\n" + part(0, 99).mid(7) + closing << two << 1000 << false << Pairs{};
        QTest::newRow("endless headers")
            << "--B\r\n" + QByteArray(9000, 'h') << two << 1000 << false << Pairs{};
    }
    void multipart()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, chunk);
        QFETCH(Pairs, requested);
        ByteRangesReader reader("B", ranges(requested), 1000);
        QList<ByteRangesReader::Piece> pieces;
        for (qsizetype at = 0; at < body.size(); at += chunk)
            reader.feed(QByteArrayView(body).sliced(at, qMin<qsizetype>(chunk, body.size() - at)),
                        pieces);
        qint64 received = 0;
        for (const ByteRangesReader::Piece &piece : pieces) {
            QCOMPARE(piece.bytes, file.mid(piece.offset, piece.bytes.size()));
            received += piece.bytes.size();
        }
        QTEST(!reader.failed() && reader.finish(), "ok");
        if (reader.finish()) {
            QTEST(pairs(reader.missing()), "missing");
            QCOMPARE(received, RangePlan::totalSize(reader.received()));
        }
    }

    void plan_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("onDisk"); // "name=content", or "name" to remove it
        QTest::addColumn<QStringList>("fetch");
        QTest::addColumn<QStringList>("removable");
        QTest::addColumn<QStringList>("changed"); // dropped, but not as installed
        QTest::addColumn<bool>("whole");

        const QByteArray a(1000, 'a'), b(1000, 'b'), c(1000, 'c');
        const auto zip = [](std::initializer_list<ZipBuilder::Entry> entries) {
            ZipBuilder builder;
            for (const ZipBuilder::Entry &entry : entries)
                builder.add(entry);
            builder.add({"r/d/", {}, false, 0}).addStoredFile("r/.gitattributes", "*");
            return builder.bytes();
        };
        const QByteArray same = zip({{"r/a", a, false}, {"r/b", b, false}, {"r/c", c, false}});
        const QByteArray newA = zip({{"r/a", c, false}, {"r/b", b, false}, {"r/c", c, false}});
        const QStringList none;
        QTest::newRow("nothing changed") << same << none << none << none << none << false;
        QTest::newRow("new data") << newA << none << QStringList{"r/a"} << none << none << false;
        QByteArray resized = same;
        ZipBuilder::patch(resized, 1, ZipBuilder::UncompressedSize, 999);
        QTest::newRow("new size") << resized << none << QStringList{"r/b"} << none << none << false;
        QTest::newRow("file rewritten") << same << QStringList{"r/b=" + QString(1000, 'b')}
                                        << QStringList{"r/b"} << none << none << false;
        QTest::newRow("file grown") << same << QStringList{"r/b=" + QString(1001, 'b')}
                                    << QStringList{"r/b"} << none << none << false;
        QTest::newRow("file removed")
            << same << QStringList{"r/b"} << QStringList{"r/b"} << none << none << false;
        QTest::newRow("new entry")
            << zip({{"r/a", a, false}, {"r/b", b, false}, {"r/c", c, false}, {"r/e", "e", false}})
            << none << QStringList{"r/e"} << none << none << false;
        const QByteArray withoutC = zip({{"r/a", a, false}, {"r/b", b, false}});
        QTest::newRow("dropped") << withoutC << none << none << QStringList{"r/c"} << none << false;
        QTest::newRow("dropped, changed since")
            << withoutC << QStringList{"r/c=" + QString(1000, 'c')} << none << none
            << QStringList{"r/c"} << false;
        QTest::newRow("renamed in case")
            << zip({{"r/a", a, false}, {"r/b", b, false}, {"r/C", c, false}}) << none
            << QStringList{"r/C"} << none << none << false;
        QTest::newRow("most entries new")
            << zip({{"r/a", b, false}, {"r/b", c, false}, {"r/c", a, false}}) << none
            << QStringList{"r/a", "r/b", "r/c"} << none << none << true;
        QByteArray encrypted = newA;
        ZipBuilder::patch(encrypted, 0, ZipBuilder::Flags, 1);
        QTest::newRow("encrypted")
            << encrypted << none << QStringList{"r/a"} << none << none << true;
        QByteArray bzip2 = newA;
        ZipBuilder::patch(bzip2, 0, ZipBuilder::Method, 12);
        QTest::newRow("other method")
            << bzip2 << none << QStringList{"r/a"} << none << none << true;
    }
    void plan()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, onDisk);
        QTemporaryDir root;
        const QByteArray before = ZipBuilder()
                                      .addStoredFile("r/a", QByteArray(1000, 'a'))
                                      .addStoredFile("r/b", QByteArray(1000, 'b'))
                                      .addStoredFile("r/c", QByteArray(1000, 'c'))
                                      .add({"r/d/", {}, false, 0})
                                      .addStoredFile("r/.gitattributes", "*")
                                      .bytes();
        for (const char *name : {"r/a", "r/b", "r/c"})
            writeFile(root.filePath(name), QByteArray(1000, name[2]));
        const InstallIndex index = InstallIndex::record(Z::parse(before, before.size()), "u",
                                                        before.size(), "v", root.path());
        QCOMPARE(index.entries.size(), 5);
        for (const QString &change : onDisk) {
            const QString path = root.filePath(change.section('=', 0, 0));
            QFile::remove(path);
            if (!change.contains('='))
                continue;
            writeFile(path, change.section('=', 1).toUtf8());
            QFile rewritten(path);
            QVERIFY(rewritten.open(QIODevice::ReadWrite)
                    && rewritten.setFileTime(QDateTime::fromSecsSinceEpoch(1e9),
                                             QFile::FileModificationTime));
        }
        const DeltaPlan plan = DeltaPlan::make(Z::parse(archive, archive.size()), archive.size(),
                                               index, root.path());
        const QList<ZipEntry> entries = Z::parse(archive, archive.size()).entries();
        QStringList fetch;
        for (qsizetype i : plan.fetch)
            fetch << entries.at(i).name;
        QTEST(fetch, "fetch");
        QCOMPARE(plan.withoutData.size(), 2);
        QCOMPARE(plan.unchanged.size() + plan.fetch.size() + 2, entries.size());
        QTEST(plan.dropped.removable, "removable");
        QTEST(plan.dropped.changed, "changed");
        QTEST(plan.wholeArchive, "whole");
        QCOMPARE(plan.totalBytes, RangePlan::totalSize(plan.ranges));
        QCOMPARE(plan.requests.size(), fetch.isEmpty() ? 0 : 1);
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
        QCOMPARE(read->entries.first().modified, -5ll);
        QCOMPARE(read->url, index.url);
        QCOMPARE(read->validator, index.validator);
        QVERIFY(!InstallIndex::read(path + ".none"));
    }

    void malformedIndex_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        for (const auto &[from, to] : std::initializer_list<std::pair<const char *, const char *>>{
                 {"end\n", ""},
                 {"end\n", "end"},
                 {"end\n", "end\nx"},
                 {"index 1", "index 2"},
                 {"entries 2", "entries 3"},
                 {"entries 2", "entries 1"},
                 {"0000abcd", "0000ABCD"},
                 {"0000abcd", "abcd"},
                 {" 10 20 8", " 010 20 8"},
                 {"archive 5000", "archive +5000"},
                 {"archive 5000", "archive 0"},
                 {" 10 20 8", " -10 20 8"},
                 {" 0 100 20", " 100 100 20"},
                 {"100 5000", "100 5001"},
                 {" -1 0 ", " -2 0 "},
                 {" 8 0 ", " 65536 0 "},
                 {"a%20b", "a%2"},
                 {"a%20b", "a%2fb"},
                 {"a%20b", "a b"},
                 {"r/d/", "r/a%20b"},
                 {"r/d/", "%"},
                 {"r/d/", "r/%FF"},
                 {"\n", "\r\n"},
             })
            QTest::addRow("%s -> %s", QByteArray(from).replace('\n', "\\n").constData(),
                          QByteArray(to).replace('\n', "\\n").constData())
                << QByteArray(from) << QByteArray(to);
    }
    void malformedIndex()
    {
        const QByteArray text = "veltro-install-index 1\narchive 5000 https%3A//h/x %22v1%22\n"
                                "entries 2\n0000abcd 10 20 8 0 100 20 170 r/a%20b\n"
                                "ffffffff 0 0 0 100 5000 -1 0 r/d/\nend\n";
        QCOMPARE(InstallIndex::parse(text).value_or(InstallIndex()).serialize(), text);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QVERIFY(!InstallIndex::parse(QByteArray(text).replace(from, to)));
    }

    void quickCheck()
    {
        QTemporaryDir root;
        const QByteArray archive = ZipBuilder()
                                       .addFile("r/kept", "k")
                                       .addFile("r/gone", "g")
                                       .addFile("r/grown", "g")
                                       .addFile("r/folder", "f")
                                       .add({"r/d/", {}, false, 0})
                                       .bytes();
        for (const char *name : {"r/kept", "r/gone", "r/grown", "r/folder"})
            writeFile(root.filePath(name), "x");
        const InstallIndex index = InstallIndex::record(Z::parse(archive, archive.size()), "u",
                                                        archive.size(), "v", root.path());
        QVERIFY(QFile::remove(root.filePath("r/gone")) && QFile::remove(root.filePath("r/folder")));
        QVERIFY(QDir().mkpath(root.filePath("r/folder")));
        writeFile(root.filePath("r/grown"), "xx");
        QCOMPARE(index.changedFiles(root.path()), QStringList({"r/gone", "r/grown", "r/folder"}));
    }

    // The end of the archive (minizip reads its last KiB) and one entry fetched, in pieces:
    // minizip reads that entry as from the whole archive, and fails on another.
    void rangedArchive()
    {
        const QByteArray archive = ZipBuilder()
                                       .addStoredFile("a", QByteArray(5000, 'a'))
                                       .addFile("b", file)
                                       .addStoredFile("c", QByteArray(3000, 'c'))
                                       .bytes();
        const Z directory = Z::parse(archive, archive.size());
        const qint64 tail = directory.extents().at(2).begin + 100;
        const ZipExtent b = directory.extents().at(1);
        RangedArchive ranged("ranged.part", archive.size());
        QVERIFY(ranged.add(tail, archive.mid(tail, 10))
                && ranged.add(tail + 10, archive.mid(tail + 10)));
        QVERIFY(ranged.add(b.begin + 7, archive.mid(b.begin + 7, b.end - b.begin - 7)));
        QVERIFY(ranged.add(b.begin, archive.mid(b.begin, 7)));
        QVERIFY(!ranged.add(b.begin + 3, "x"));
        QVERIFY(!ranged.add(b.begin - 1, "xx"));
        QVERIFY(!ranged.add(archive.size(), "x"));
        QVERIFY(ranged.holds(b.begin, b.end - b.begin) && !ranged.holds(b.begin - 1, 2));
        zlib_filefunc64_def functions = ranged.fileFunctions();
        unzFile zip = unzOpen2_64("ranged", &functions);
        QVERIFY(zip);
        QByteArray data(2000, 0);
        QCOMPARE(unzLocateFile(zip, "b", 1), UNZ_OK);
        QCOMPARE(unzOpenCurrentFile(zip), UNZ_OK);
        QCOMPARE(unzReadCurrentFile(zip, data.data(), 2000), 1000);
        QCOMPARE(unzCloseCurrentFile(zip), UNZ_OK);
        QCOMPARE(data.left(1000), file);
        QCOMPARE(unzLocateFile(zip, "a", 1), UNZ_OK);
        QVERIFY(unzOpenCurrentFile(zip) != UNZ_OK);
        unzClose(zip);
    }
};

VELTRO_TEST_MAIN(TestDelta)
#include "tst_delta.moc"
