#pragma once

#include <QtEndian>
#include <QtGlobal>

// The ZIP records' signatures, fixed sizes and marks, shared by the directory parser and the
// extraction so the two read one format.
namespace ZipFormat {

constexpr quint32 localSignature = 0x04034b50;
constexpr quint32 centralSignature = 0x02014b50;
constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint32 zip64EndSignature = 0x06064b50;

constexpr qint64 localHeaderSize = 30;
constexpr qint64 centralRecordSize = 46;
constexpr qint64 endRecordSize = 22;
constexpr qint64 zip64LocatorSize = 20;
constexpr qint64 zip64EndSize = 56;
constexpr qint64 maxCommentSize = 0xFFFF;

// A size or offset given as this in a record is in the ZIP64 extra field (tag 1).
constexpr quint32 zip64Marker = 0xFFFFFFFF;
constexpr quint16 zip64Tag = 1;

constexpr quint16 encryptedFlag = 1;
// CRC and sizes follow the data, in a data descriptor, instead of the local header.
constexpr quint16 dataDescriptorFlag = 8;

// "Version made by" host of archives made on Unix: only they carry a file mode.
constexpr unsigned unixHost = 3;

inline quint16 le16(const char *at)
{
    return qFromLittleEndian<quint16>(at);
}
inline quint32 le32(const char *at)
{
    return qFromLittleEndian<quint32>(at);
}
inline quint64 le64(const char *at)
{
    return qFromLittleEndian<quint64>(at);
}

} // namespace ZipFormat
