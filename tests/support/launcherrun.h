#pragma once

#include "app/mainwindow.h"
#include "logcollector.h"
#include "testhttpserver.h"
#include "zipbuilder.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <memory>

// One start of the launcher against the in-process server, in a clean working directory and
// install root: the server, the log, the manifest's entries and the window. state() sums up a
// repository in one text, so one QCOMPARE checks it and still prints everything on failure.
class LauncherRun
{
public:
    explicit LauncherRun(bool tls = false)
    {
        if (!server.start(tls))
            qFatal("The test server does not listen");
        if (tls)
            TestHttpServer::trustTestAuthority();
        const QString work = QDir::currentPath();
        QDir(work).removeRecursively();
        QDir().mkpath(work);
        QDir::setCurrent(work);
        QDir(installRoot()).removeRecursively();
    }

    TestHttpServer server;
    LogCollector log;
    QJsonArray repos; // the manifest's entries, served by start()
    std::unique_ptr<QWidget> window;

    // Where a repository's commit list and archive live on the server (names may hold what a
    // path cannot).
    static QByteArray commitsPath(const QString &name)
    {
        return "/commits/" + name.toUtf8().toHex();
    }
    static QByteArray archivePath(const QString &name)
    {
        return "/files/" + name.toUtf8().toHex() + ".zip";
    }
    static QByteArray commitsBody(const QString &id)
    {
        return QJsonDocument(QJsonArray{QJsonObject{{"id", id}, {"title", "Newest"}},
                                        QJsonObject{{"id", QString(40, '0')}, {"title", "Older"}}})
            .toJson();
    }
    // An archive of dir/: the recording program as bin/start.sh and bin/tool.sh, and data.bin,
    // dataSize bytes that do not compress.
    static QByteArray archive(const QString &dir, int dataSize = 64 * 1024)
    {
        const QByteArray top = dir.toUtf8() + "/";
        return ZipBuilder()
            .addFile(top + "bin/start.sh", recorder(), 0100755)
            .addFile(top + "bin/tool.sh", recorder(), 0100755)
            .addStoredFile(top + "data.bin", noise(dataSize, dir))
            .bytes();
    }
    static QByteArray noise(int size, const QString &seed)
    {
        QRandomGenerator generator(qHash(seed));
        QByteArray bytes(size, Qt::Uninitialized);
        std::generate(bytes.begin(), bytes.end(), [&] { return char(generator.bounded(256)); });
        return bytes;
    }
    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Makes the file's folder first.
    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
               && file.write(bytes) == bytes.size();
    }
    // The files and folders below dir: a path's content, "<dir>" for a folder; files led by the
    // modes the extraction sets: a program, a file the next update could not rewrite, one closed
    // to others.
    static QMap<QString, QByteArray> tree(const QString &dir)
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(dir, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QFile::Permissions mode = it.fileInfo().permissions();
            files[path.mid(dir.size() + 1)] =
                it.fileInfo().isDir()
                    ? "<dir>"
                    : QByteArray(mode & QFile::ExeOwner ? "<x>" : "")
                          + (mode & QFile::WriteOwner ? "" : "<ro>")
                          + (mode & QFile::ReadOther ? "" : "<private>") + readAll(path);
        }
        return files;
    }
    // The recording program: writes its working directory and arguments to launch-record.txt.
    static QString recorderPath() { return QStringLiteral(VELTRO_RECORD_LAUNCH_PROGRAM); }
    static QByteArray recorder() { return readAll(recorderPath()); }
    // What the recording program wrote in folder: its working directory, then "[arg]" lines.
    static QStringList launchRecord(const QString &folder)
    {
        return QString::fromUtf8(readAll(folder + "/launch-record.txt"))
            .split('\n', Qt::SkipEmptyParts);
    }
    static QString installRoot()
    {
        return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    }

    // The manifest entry of a repository, its commit list and archive on this server.
    QJsonObject repo(const QString &name) const
    {
        return {{"name", name},
                {"icon", "clienticon"},
                {"exes", QJsonArray{"bin/start.sh", "bin/tool.sh"}},
                {"tooltip", QJsonArray{"Play", "Tool"}},
                {"api", server.url(QString::fromUtf8(commitsPath(name)))},
                {"download", server.url(QString::fromUtf8(archivePath(name)))},
                {"dir", name},
                {"exe", "bin/start.sh"},
                {"args", " --mode  fast "}};
    }
    // Adds repo(name) to the manifest, a commit list naming id, and archive(name, dataSize),
    // whose data state() then checks; or another archive.
    void serveRepo(const QString &name, const QString &id, int dataSize = 64 * 1024)
    {
        serveRepo(name, id, archive(name, dataSize));
        m_data.insert(name, noise(dataSize, name));
    }
    void serveRepo(const QString &name, const QString &id, const QByteArray &zip)
    {
        repos.append(repo(name));
        server.serve(commitsPath(name), commitsBody(id));
        server.serve(archivePath(name), zip);
    }
    // Serves the manifest (version "0.2" and repos, unless given) and opens the window on it,
    // after closing an earlier start's window (its archive file and GET go with it).
    void start(const QByteArray &manifest = {})
    {
        window.reset();
        const QJsonObject root{{"updater_version", "0.2"}, {"repos", repos}};
        server.serve("/kiv/updater.json",
                     !manifest.isNull() ? manifest : QJsonDocument(root).toJson());
        window = std::make_unique<MainWindow>(server.url("/kiv/updater.json"));
        window->show();
    }
    // "installed": the hash file holds id, the archive is gone, the bar hidden, the buttons
    // enabled (and the served data in place). "pending": no id recorded, the bar shown, the
    // buttons disabled. Otherwise what was found, for example
    // "hash other, archive kept, bar hidden, buttons on".
    QString state(const QString &name, const QString &id) const
    {
        const QProgressBar *bar = window ? window->findChild<QProgressBar *>(name) : nullptr;
        const auto buttons = window ? window->findChildren<QPushButton *>()
                                    : QList<QPushButton *>();
        const auto on =
            std::count_if(buttons.cbegin(), buttons.cend(),
                          [](const QPushButton *button) { return button->isEnabled(); });
        const bool recorded = !id.isEmpty() && readAll(name + "_hash.txt") == id.toUtf8();
        const QString found = QStringList{!QFile::exists(name + "_hash.txt") ? "no hash"
                                          : recorded                         ? "hash recorded"
                                                                             : "hash other",
                                          QFile::exists(name + ".zip") ? "archive kept"
                                                                       : "archive gone",
                                          !bar               ? "no bar"
                                          : bar->isVisible() ? "bar shown"
                                                             : "bar hidden",
                                          on == 0                ? "buttons off"
                                          : on == buttons.size() ? "buttons on"
                                                                 : "buttons mixed"}
                                  .join(", ");
        const auto data = m_data.constFind(name);
        if (found == "hash recorded, archive gone, bar hidden, buttons on")
            return data == m_data.constEnd()
                           || readAll(installRoot() + "/" + name + "/data.bin") == *data
                       ? "installed"
                       : found + ", data differs";
        return !recorded && bar && bar->isVisible() && on == 0 ? "pending" : found;
    }

private:
    QHash<QString, QByteArray> m_data; // repository name: the data.bin its archive holds
};
