// Writes the seed corpora of the fuzz targets: manifests and commit lists as JSON literals, and
// archives made with the tests' own archive builder.
// Usage: veltro_fuzz_seeds <folder>; makes <folder>/manifest, <folder>/commits, <folder>/extract.

#include "zipbuilder.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>

namespace {

bool writeSeeds(const QString &folder, const QList<QByteArray> &seeds)
{
    if (!QDir().mkpath(folder))
        return false;
    for (int i = 0; i < seeds.size(); ++i) {
        QFile file(QString("%1/seed-%2").arg(folder).arg(i, 2, 10, QChar('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(seeds.at(i)) != seeds.at(i).size())
            return false;
    }
    return true;
}

QList<QByteArray> manifestSeeds()
{
    const QByteArray entry =
        R"({"name": "client", "icon": "clienticon", "exes": ["bin/client.exe", "bin/config.exe"],
            "tooltip": ["Play", "Settings"], "api": "", "dir": "client", "exe": "bin/client.exe",
            "args": "-fullscreen  -lang pt", "download": ""})";
    return {
        R"({"updater_version": "0.2", "background": "", "repos": [)" + entry + "]}",
        R"({"updater_version": "0.2", "repos": [)" + entry + "," + entry + "]}",
        R"({"updater_version": "0.2", "repos": [{"name": "a", "exes": [], "tooltip": []},
            {"name": "b", "exes": ["x", "y", "z"], "tooltip": ["only one"]},
            {"name": "c", "exes": [1, null, {}], "tooltip": [true, [], "t"]}, 7, "s", null]})",
        R"({"updater_version": "0.2", "repos": [{"name": "../up", "exes": ["a"]},
            {"name": "a\\b", "exes": ["a"]}, {"name": "x\u0000y", "exes": ["a"]}]})",
        R"({"updater_version": 0.2, "repos": {}})",
        R"({"updater_version": "0.1", "background": ""})",
        R"({"updater_version": "0.2", "repos": "no"})",
        R"([{"updater_version": "0.2"}])",
        "{}",
    };
}

QList<QByteArray> commitSeeds()
{
    return {
        R"([{"id": "4f1c2b9e0d6a7c8b5e3f2a1d0c9b8a7f6e5d4c3b", "short_id": "4f1c2b9e",
             "title": "Update", "parent_ids": ["0c9b8a7f6e5d4c3b4f1c2b9e0d6a7c8b5e3f2a1d"],
             "created_at": "2026-01-01T00:00:00.000+00:00"},
            {"id": "0c9b8a7f6e5d4c3b4f1c2b9e0d6a7c8b5e3f2a1d"}])",
        R"([{"id": ""}])",
        R"([{"id": 42}])",
        R"([["id"], {"id": "x"}])",
        R"([{}])",
        "[]",
        R"({"message": "404 Project Not Found"})",
        "not json",
    };
}

QList<QByteArray> archiveSeeds()
{
    QList<QByteArray> seeds;
    seeds.append(ZipBuilder()
                     .addDirectory("client/")
                     .addDirectory("client/bin/")
                     .addFile("client/bin/client.exe", QByteArray(3000, 'x'))
                     .addStoredFile("client/readme.txt", "hello\n")
                     .bytes());
    seeds.append(ZipBuilder()
                     .addFile("client/.gitattributes", "* text=auto\n")
                     .addFile("client/data/empty", {})
                     .addFile("client/run.sh", "#!/bin/sh\n", 0100755)
                     .bytes());
    seeds.append(ZipBuilder().addSymlink("client/link", "../outside").bytes());
    seeds.append(ZipBuilder().addFile("../outside.txt", "x").bytes());
    seeds.append(ZipBuilder().addFile("client\\win\\path.txt", "x").bytes());
    seeds.append(ZipBuilder()
                     .addFile("client/same", "first")
                     .addFile("client/same", "second")
                     .bytes());
    seeds.append(ZipBuilder().addFile("client/zeros", QByteArray(1 << 20, '\0')).bytes());
    seeds.append(ZipBuilder().addFile(QByteArray(300, 'n'), "long name").bytes());
    seeds.append(ZipBuilder().bytes());
    return seeds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const bool ok = writeSeeds(root + "/manifest", manifestSeeds())
                    && writeSeeds(root + "/commits", commitSeeds())
                    && writeSeeds(root + "/extract", archiveSeeds());
    return ok ? 0 : 1;
}
