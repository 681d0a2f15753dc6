// Bytes as a downloaded archive, extracted into an empty install root in the tests' sandbox:
// nothing may appear outside the install root, and a failure leaves it empty, as it was.
// LLVMFuzzerInitialize runs before libFuzzer reads the corpus; it writes the seeds, made by the
// tests' archive builder, into $VELTRO_FUZZ_SEEDS when that is set.

#include "extract/installroot.h"
#include "extract/zipextractor.h"
#include "fuzzstart.h"
#include "zipbuilder.h"

#include <QCoreApplication>
#include <QDirIterator>

#include <csignal>
#include <cstdint>

#include <sys/resource.h>

namespace {

QStringList outsideInstallRoot()
{
    QStringList paths;
    QDirIterator it(TestEnvironment::instance()->root(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!(path + "/").startsWith(installRoot() + "/"))
            paths.append(path);
    }
    paths.sort();
    return paths;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QList<QByteArray> seeds =
        {ZipBuilder()
             .add({"client/bin/", {}, false, 0})
             .addFile("client/bin/client.exe", QByteArray(3000, 'x'), 0100755)
             .addStoredFile("client/.gitattributes", "* text=auto\n")
             .add({"client/link", "../outside", false, 0120777})
             .addFile("client/same", "first")
             .addFile("client/Same", {})
             .bytes(),
         ZipBuilder().addFile("../up\\C:/CON", "x").addFile(QByteArray(300, 'n'), "n").bytes(),
         // ZIP64 fields in both headers, sizes after the data, an extra field cut short.
         ZipBuilder()
             .addFile("client/zip64", QByteArray(500, 'z'))
             .add({"client/short", "s", true, 0, "ab"})
             .bytes({ZipBuilder::Uncompressed | ZipBuilder::Offset, true, true, true})};
    startFuzzing<QCoreApplication>(seeds);
    // Files may not grow past 16 MiB (a full disk, as far as the extraction can tell): a bomb's
    // write then fails with EFBIG instead of a signal.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16 << 20, 16 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile archive("fuzz.zip");
    check(QDir().mkpath(installRoot()) && archive.open(QIODevice::WriteOnly)
          && archive.write(reinterpret_cast<const char *>(data), qint64(size)) >= 0);
    archive.close();
    static const QStringList outside = outsideInstallRoot();
    const bool installed =
        ZipExtractor::extractZip("fuzz.zip", {}, [](InstallPhase, qint64, qint64) {}).ok();
    const QStringList left = QDir(installRoot())
                                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                            | QDir::NoDotAndDotDot);
    check(outsideInstallRoot() == outside && (installed || left.isEmpty())
          && !left.contains(".veltro-update"));
    QDir(installRoot()).removeRecursively();
    return 0;
}
