// Bytes as what a delta update reads from elsewhere: the end of an archive (its directory read
// from its last bytes, also as the end of a longer archive), a multipart/byteranges body fed in
// pieces, an index file. LLVMFuzzerInitialize writes the seeds into $VELTRO_FUZZ_SEEDS when set.

#include "extract/installindex.h"
#include "extract/zipdirectory.h"
#include "fuzzstart.h"
#include "sync/byteranges.h"
#include "zipbuilder.h"

#include <QCoreApplication>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzing<QCoreApplication>(
        {ZipBuilder().addFile("r/a", "aaaa").addStoredFile("r/b", "b").bytes(),
         "\r\n--B\r\nContent-Range: bytes 0-3/1000\r\n\r\nabcd\r\n--B--\r\n",
         "veltro-install-index 1\narchive 50 u v\nentries 1\n0000abcd 1 2 8 0 0 10 2 3 "
         "r/a\nend\n"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const qint64 length : {bytes.size(), 2 * bytes.size() + 1}) {
        const ZipDirectory directory = ZipDirectory::parse(bytes, length);
        check(directory.status() != ZipDirectory::NeedMore
              || (directory.needFrom() >= 0 && directory.needFrom() < length - bytes.size()));
        for (const ZipExtent &extent : directory.extents()) {
            check(extent.begin < extent.end && extent.end <= directory.directoryOffset());
            qint64 dataOffset = 0, end = 0;
            ZipLocalHeader::check(QByteArrayView(bytes).sliced(qMin(extent.begin, bytes.size())),
                                  directory.entries().first(), &dataOffset, &end);
        }
    }
    const QList<ByteRange> asked = {{0, 100}, {500, 600}};
    ByteRangesReader reader("B", asked, 1000);
    QList<ByteRangesReader::Piece> pieces;
    const qsizetype chunk = 1 + (size ? data[0] % 64 : 0);
    for (qsizetype at = 0; at < bytes.size(); at += chunk)
        reader.feed(QByteArrayView(bytes).sliced(at, qMin(chunk, bytes.size() - at)), pieces);
    for (const ByteRangesReader::Piece &piece : pieces) {
        const ByteRange range{piece.offset, piece.offset + piece.bytes.size()};
        check(asked.at(0).contains(range) || asked.at(1).contains(range));
    }
    // An index reads only in the one spelling it is written in.
    const std::optional<InstallIndex> index = InstallIndex::parse(bytes);
    check(!index || index->serialize() == bytes);
    return 0;
}
