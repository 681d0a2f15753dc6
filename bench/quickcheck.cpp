// Start-up check benchmark: the time InstallIndex takes to check an install of many files
// against its index (existence and size), warm, and what the delta plan's look at every file
// (size and modification time) and the index's reading cost beside it.
//   veltro_quickcheck_bench [files] [folder]
// Makes the files (default 20000, in 200 folders) in folder (default: a temporary one) on first
// use, then times each step five times and prints the fastest and the median.

#include "extract/installindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

void time(const char *what, const std::function<qsizetype()> &step)
{
    QList<double> runs;
    qsizetype result = step(); // warms the caches
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        result = step();
        runs.append(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(runs.begin(), runs.end());
    std::printf("%-34s fastest %7.1f ms, median %7.1f ms (result %lld)\n", what, runs.first(),
                runs.at(2), qlonglong(result));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    QTemporaryDir temporary;
    const QString root = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporary.path();
    InstallIndex index{"https://example.invalid/a.zip", qint64(count) * 1000, "\"v\"", {}};
    for (int i = 0; i < count; ++i) {
        const QString name = QString("repo/folder%1/file%2.dat").arg(i % 200).arg(i);
        const QString path = root + "/" + name;
        if (!QFile::exists(path)) {
            QDir().mkpath(root + "/repo/folder" + QString::number(i % 200));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(i % 700, 'x')) < 0)
                return 1;
        }
        const InstalledFileState state = InstalledFileState::of(path);
        index.entries.append({name, quint32(i), i % 700, i % 700, 8, qint64(i) * 1000,
                              qint64(i) * 1000 + 1000, state.size, state.modified});
    }
    std::printf("%d files under %s\n", count, qPrintable(root));
    time("quick check (exists, size)", [&] { return index.changedFiles(root).size(); });
    time("size and modification time", [&] {
        qsizetype same = 0;
        for (const InstallIndex::Entry &entry : index.entries)
            same += InstalledFileState::of(root + "/" + entry.name).matches(entry);
        return same;
    });
    const QByteArray text = index.serialize();
    time("index parse", [&] { return InstallIndex::parse(text)->entries.size(); });
    time("index serialize", [&] { return index.serialize().size(); });
    return 0;
}
