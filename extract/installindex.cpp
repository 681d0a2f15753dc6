#include "extract/installindex.h"

#include "extract/filenames.h"
#include "extract/launcherfiles.h"
#include "extract/zipdirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <zlib.h>

#include <algorithm>
#include <limits>

#ifdef Q_OS_WIN
#include <windows.h>

#include <string>
#else
#include <sys/stat.h>
#endif

namespace {

constexpr char magic[] = "veltro-install-index 1";
// Far beyond any archive, and a bound on what a damaged count makes parse reserve.
constexpr qint64 maxEntries = 10'000'000;

// Text as one token: no blank, no line break, nothing but printable ASCII; "%", which no text
// encodes to, for the empty text.
QByteArray token(const QByteArray &bytes)
{
    return bytes.isEmpty() ? QByteArray("%") : bytes.toPercentEncoding("/");
}

// The bytes of a token written by token(); none for any other spelling.
std::optional<QByteArray> untoken(const QByteArray &text)
{
    const QByteArray bytes = text == "%" ? QByteArray() : QByteArray::fromPercentEncoding(text);
    return token(bytes) == text ? std::optional(bytes) : std::nullopt;
}

// A number in its one decimal spelling.
std::optional<qint64> number(const QByteArray &text, qint64 minimum)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok && value >= minimum && QByteArray::number(value) == text ? std::optional(value)
                                                                       : std::nullopt;
}

bool sameSpelling(const QByteArray &text, quint32 crc)
{
    return text == QByteArray::number(crc, 16).rightJustified(8, '0');
}

} // namespace

InstallIndex InstallIndex::record(const ZipDirectory &directory, const QString &url,
                                  qint64 archiveLength, const QByteArray &validator,
                                  const QString &installRoot)
{
    InstallIndex index{url, archiveLength, validator, {}};
    const QList<ZipExtent> extents = directory.extents();
    for (qsizetype i = 0; i < extents.size(); ++i) {
        const ZipEntry &entry = directory.entries().at(i);
        InstalledFileState state;
        if (installsFile(entry))
            state = InstalledFileState::of(installRoot + "/" + entry.name);
        index.entries.append({entry.name, entry.crc32, entry.compressedSize, entry.uncompressedSize,
                              entry.method, extents.at(i).begin, extents.at(i).end, state.size,
                              state.size < 0 ? 0 : state.modified, entry.unixMode()});
    }
    return index;
}

bool InstallIndex::installsFile(const ZipEntry &entry)
{
    return !entry.isFolder()
           && FileNames::entryVerdict(entry.name) != FileNames::EntryVerdict::Skip;
}

QString InstallIndex::path(const QString &installRoot, const QString &repoName)
{
    return installRoot + "/" + LauncherFiles::workFolder + "/" + LauncherFiles::indexFolder + "/"
           + QString::fromLatin1(repoName.toUtf8().toPercentEncoding()) + ".idx";
}

QByteArray InstallIndex::serialize() const
{
    QByteArray text = QByteArray(magic) + '\n';
    text += "archive " + QByteArray::number(archiveLength) + ' ' + token(url.toUtf8()) + ' '
            + token(validator) + '\n';
    text += "entries " + QByteArray::number(entries.size()) + '\n';
    for (const Entry &entry : entries) {
        text += QByteArray::number(entry.crc32, 16).rightJustified(8, '0') + ' '
                + QByteArray::number(entry.compressedSize) + ' '
                + QByteArray::number(entry.uncompressedSize) + ' '
                + QByteArray::number(entry.method) + ' ' + QByteArray::number(entry.unixMode) + ' '
                + QByteArray::number(entry.localHeaderOffset) + ' '
                + QByteArray::number(entry.extentEnd) + ' ' + QByteArray::number(entry.fileSize)
                + ' ' + QByteArray::number(entry.modified) + ' ' + token(entry.name.toUtf8())
                + '\n';
    }
    return text + "end\n";
}

std::optional<InstallIndex> InstallIndex::parse(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    // The last line ends in a line break: the split leaves an empty one after it.
    if (lines.size() < 4 || lines.takeLast() != "" || lines.takeLast() != "end"
        || lines.at(0) != magic)
        return std::nullopt;
    const QList<QByteArray> archive = lines.at(1).split(' ');
    const QList<QByteArray> count = lines.at(2).split(' ');
    InstallIndex index;
    const auto length = number(archive.value(1), 1);
    const auto url = untoken(archive.value(2));
    const auto validator = untoken(archive.value(3));
    const auto size = number(count.value(1), 0);
    if (archive.size() != 4 || archive.at(0) != "archive" || !length || !url || !validator
        || count.size() != 2 || count.at(0) != "entries" || !size || *size > maxEntries
        || *size != lines.size() - 3)
        return std::nullopt;
    index.archiveLength = *length;
    index.url = QString::fromUtf8(*url);
    index.validator = *validator;
    index.entries.reserve(*size);
    QSet<QString> names;
    for (const QByteArray &line : lines.mid(3)) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 10)
            return std::nullopt;
        bool crcOk = false;
        const quint32 crc = fields.at(0).toUInt(&crcOk, 16);
        const auto compressed = number(fields.at(1), 0);
        const auto uncompressed = number(fields.at(2), 0);
        const auto method = number(fields.at(3), 0);
        const auto mode = number(fields.at(4), 0);
        const auto offset = number(fields.at(5), 0);
        const auto end = number(fields.at(6), 0);
        const auto fileSize = number(fields.at(7), -1);
        const auto modified = number(fields.at(8), std::numeric_limits<qint64>::min());
        const auto name = untoken(fields.at(9));
        if (!crcOk || !sameSpelling(fields.at(0), crc) || !compressed || !uncompressed || !method
            || *method > 0xFFFF || !mode || *mode > 0xFFFF || !offset || !end || *offset >= *end
            || *end > *length || !fileSize || !modified || !name || name->isEmpty())
            return std::nullopt;
        Entry entry{QString::fromUtf8(*name),
                    crc,
                    *compressed,
                    *uncompressed,
                    quint16(*method),
                    *offset,
                    *end,
                    *fileSize,
                    *modified,
                    quint32(*mode)};
        if (entry.name.toUtf8() != *name || names.contains(entry.name))
            return std::nullopt;
        names.insert(entry.name);
        index.entries.append(entry);
    }
    return index;
}

std::optional<InstallIndex> InstallIndex::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parse(file.readAll());
}

bool InstallIndex::write(const QString &path) const
{
    QSaveFile file(path);
    const QByteArray text = serialize();
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
           && file.write(text) == text.size() && file.commit();
}

QStringList InstallIndex::changedFiles(const QString &installRoot) const
{
    QStringList changed;
    const QString prefix = installRoot + "/";
    for (const Entry &entry : entries) {
        if (!entry.installedFile())
            continue;
        if (InstalledFileState::of(prefix + entry.name).size != entry.fileSize)
            changed.append(entry.name);
    }
    return changed;
}

QStringList InstallIndex::differingFiles(const QString &installRoot,
                                         const std::function<void(qint64, qint64)> &progress) const
{
    QStringList differing;
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    const qint64 total = std::count_if(entries.cbegin(), entries.cend(),
                                       [](const Entry &entry) { return entry.installedFile(); });
    qint64 done = 0;
    for (const Entry &entry : entries) {
        if (!entry.installedFile())
            continue;
        QFile file(installRoot + "/" + entry.name);
        uLong crc = ::crc32(0L, Z_NULL, 0);
        qint64 size = 0;
        bool readable = file.open(QIODevice::ReadOnly);
        for (qint64 got = 0; readable && (got = file.read(buffer.data(), buffer.size())) != 0;) {
            readable = got > 0;
            crc = ::crc32(crc, reinterpret_cast<const Bytef *>(buffer.constData()),
                          uInt(qMax<qint64>(got, 0)));
            size += qMax<qint64>(got, 0);
        }
        if (!readable || size != entry.uncompressedSize || quint32(crc) != entry.crc32)
            differing.append(entry.name);
        if (progress)
            progress(++done, total);
    }
    return differing;
}

InstallIndex::Dropped InstallIndex::dropped(const QStringList &newNames,
                                            const QString &installRoot) const
{
    QSet<QString> kept;
    for (const QString &name : newNames)
        kept.insert(name.toCaseFolded());
    Dropped dropped;
    for (const Entry &entry : entries) {
        if (!entry.installedFile() || kept.contains(entry.name.toCaseFolded()))
            continue;
        if (InstalledFileState::of(installRoot + "/" + entry.name).matches(entry))
            dropped.removable.append(entry.name);
        else
            dropped.changed.append(entry.name);
    }
    return dropped;
}

// Straight from the system: QFileInfo's times come as local QDateTime, whose conversion costs
// more than the look at the file itself, thousands of times at each start.
InstalledFileState InstalledFileState::of(const QString &path)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    const std::wstring system =
        (native.startsWith(QLatin1String("\\\\")) ? native : "\\\\?\\" + native).toStdWString();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data)
        || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    // FILETIME counts 100 ns from 1601 on.
    const qint64 ticks = qint64((quint64(data.ftLastWriteTime.dwHighDateTime) << 32)
                                | data.ftLastWriteTime.dwLowDateTime);
    return {qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow),
            ticks / 10000 - 11644473600000LL};
#else
    struct stat status;
    if (stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    return {qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000};
#endif
}
