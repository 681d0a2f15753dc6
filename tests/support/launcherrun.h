#pragma once

#include "logcollector.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QWidget>

#include <memory>

// One start of the launcher against the in-process server, in a clean working directory and
// install root: the server, the log, the manifest's entries and the window. state() sums up a
// repository in one text, so one QCOMPARE checks it and still prints everything on failure.
class LauncherRun
{
public:
    explicit LauncherRun(bool tls = false);

    TestHttpServer server;
    LogCollector log;
    QJsonArray repos; // the manifest's entries, served by start()
    std::unique_ptr<QWidget> window;

    // Where a repository's commit list and archive live on the server.
    static QByteArray commitsPath(const QString &name);
    static QByteArray archivePath(const QString &name);
    static QByteArray commitsBody(const QString &id);
    // An archive of dir/: the recording program as bin/start.sh and bin/tool.sh, and data.bin,
    // dataSize bytes that do not compress.
    static QByteArray archive(const QString &dir, int dataSize = 64 * 1024);
    static QByteArray noise(int size, const QString &seed);
    static QByteArray readAll(const QString &path);
    static bool writeFile(const QString &path, const QByteArray &bytes);
    // The recording program: writes its working directory and arguments to launch-record.txt.
    static QByteArray recorder();
    // What the recording program wrote in folder: its working directory, then "[arg]" lines.
    static QStringList launchRecord(const QString &folder);
    static QString installRoot();

    // The manifest entry of a repository, its commit list and archive on this server.
    QJsonObject repo(const QString &name) const;
    // Adds repo(name) to the manifest, a commit list naming id, and archive(name, dataSize),
    // whose data state() then checks; or another archive.
    void serveRepo(const QString &name, const QString &id, int dataSize = 64 * 1024);
    void serveRepo(const QString &name, const QString &id, const QByteArray &zip);
    // Serves the manifest (version "0.2" and repos, unless given) and opens the window on it.
    void start(const QByteArray &manifest = {});
    // "installed": the hash file holds id, the archive is gone, the bar hidden, the buttons
    // enabled (and the served data in place). "pending": no id recorded, the bar shown, the
    // buttons disabled. Otherwise what was found, for example
    // "hash other, archive kept, bar hidden, buttons on".
    QString state(const QString &name, const QString &id) const;

private:
    QHash<QString, QByteArray> m_data; // repository name: the data.bin its archive holds
};
