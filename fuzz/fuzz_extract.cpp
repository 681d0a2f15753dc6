// Arbitrary bytes as a downloaded archive, extracted into a fresh install root. Files may not grow
// past a limit (a full disk, as far as the extraction can tell), and nothing may appear in the
// sandbox outside the install root.

#include "fuzzsupport.h"

#include "extract/installroot.h"
#include "extract/zipextractor.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <signal.h>
#include <sys/resource.h>

namespace {

constexpr rlim_t fileSizeLimit = 16 * 1024 * 1024;

QString archivePath;
QString root;
QStringList sandboxBefore;

// Every path below the sandbox, except the install root's contents and the archive itself.
void listBelow(const QString &path, QStringList &list)
{
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString p = entry.absoluteFilePath();
        if (p.startsWith(root + "/") || p == archivePath)
            continue;
        list.append(p);
        if (entry.isDir() && !entry.isSymLink())
            listBelow(p, list);
    }
}

QStringList sandboxListing()
{
    QStringList list;
    listBelow(FuzzSupport::sandbox(), list);
    list.sort();
    return list;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initialise();
    // A bomb writes until the limit; the write then fails with EFBIG instead of a signal.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{fileSizeLimit, fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    archivePath = QDir::current().absoluteFilePath("fuzz.zip");
    root = installRoot();
    QDir().mkpath(root);
    sandboxBefore = sandboxListing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::WriteOnly))
        abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    ZipExtractor::extractZip(archivePath);

    if (sandboxListing() != sandboxBefore)
        abort();
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    return 0;
}
