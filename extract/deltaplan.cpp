#include "extract/deltaplan.h"

#include "extract/zipdirectory.h"

#include <QHash>
#include <QStringList>

namespace {

// Only these are installed; another method or an encrypted entry fails the update, which the
// whole archive's extraction tells as it always did.
bool isInstallable(const ZipEntry &entry)
{
    return !entry.isEncrypted() && (entry.method == 0 || entry.method == 8);
}

} // namespace

DeltaPlan DeltaPlan::make(const ZipDirectory &directory, qint64 archiveLength,
                          const InstallIndex &index, const QString &installRoot)
{
    DeltaPlan plan;
    if (directory.status() != ZipDirectory::Parsed || archiveLength <= 0)
        return plan;
    QHash<QString, const InstallIndex::Entry *> installed;
    for (const InstallIndex::Entry &entry : index.entries)
        installed.insert(entry.name, &entry);

    const QList<ZipEntry> &entries = directory.entries();
    const QList<ZipExtent> extents = directory.extents();
    QStringList names;
    QList<ByteRange> wanted;
    bool installable = true;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const ZipEntry &entry = entries.at(i);
        names.append(entry.name);
        if (!InstallIndex::installsFile(entry)) {
            plan.withoutData.append(i);
            continue;
        }
        const InstallIndex::Entry *before = installed.value(entry.name);
        if (before && before->crc32 == entry.crc32
            && before->uncompressedSize == entry.uncompressedSize
            && before->unixMode == entry.unixMode()
            && InstalledFileState::of(installRoot + "/" + entry.name).matches(*before)) {
            plan.unchanged.append(i);
            continue;
        }
        installable = installable && isInstallable(entry);
        plan.fetch.append(i);
        wanted.append({extents.at(i).begin, extents.at(i).end});
    }
    plan.dropped = index.dropped(names, installRoot);
    plan.ranges = RangePlan::merge(wanted);
    plan.requests = RangePlan::group(plan.ranges);
    plan.totalBytes = RangePlan::totalSize(plan.ranges);
    plan.wholeArchive = !installable || tooLarge(plan.totalBytes, archiveLength);
    return plan;
}
