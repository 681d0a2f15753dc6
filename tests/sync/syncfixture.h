#pragma once

// Helpers shared by the synchronisation tests: the manifest, commit lists and archives on the
// in-process server, and a clean working directory and install root for every test.

#include "testenvironment.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

namespace SyncFixture {

inline QByteArray commitsPath(const QString &key)
{
    return "/api/v4/projects/" + key.toUtf8() + "/repository/commits";
}

inline QByteArray archivePath(const QString &key)
{
    return "/files/" + key.toUtf8() + ".zip";
}

inline QByteArray commitsBody(const QString &id)
{
    const QJsonObject newest{{"id", id}, {"title", "Newest"}};
    const QJsonObject older{{"id", "0000000000000000000000000000000000000000"}, {"title", "Older"}};
    return QJsonDocument(QJsonArray{newest, older}).toJson(QJsonDocument::Compact);
}

// A repository entry whose commit list and archive live on the server under key (by default
// the name, which may hold characters a path cannot).
inline QJsonObject repoEntry(const TestHttpServer &server, const QString &name,
                             const QString &key = {})
{
    const QString k = key.isEmpty() ? name : key;
    return QJsonObject{{"name", name},
                       {"icon", "clienticon"},
                       {"exes", QJsonArray{"bin/start.sh", "bin/tool.sh"}},
                       {"tooltip", QJsonArray{"Play", "Tool"}},
                       {"api", server.urlString(QString::fromUtf8(commitsPath(k)))},
                       {"download", server.urlString(QString::fromUtf8(archivePath(k)))},
                       {"dir", name},
                       {"exe", "bin/start.sh"},
                       {"args", " --mode  fast "}};
}

inline QByteArray manifestBody(const QJsonArray &repos)
{
    return QJsonDocument(QJsonObject{{"updater_version", "0.2"}, {"repos", repos}}).toJson();
}

inline void serveManifest(TestHttpServer &server, const QJsonArray &repos)
{
    server.serve("/kiv/updater.json", manifestBody(repos));
}

inline QString manifestUrl(const TestHttpServer &server)
{
    return server.urlString("/kiv/updater.json");
}

// Bytes that do not compress, so an archive is as large as its content.
inline QByteArray noise(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Empties the working directory (hash files, archives) and the install root.
inline void resetFolders()
{
    const QString work = QDir::currentPath();
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    QDir::setCurrent(work);
    QDir(TestEnvironment::installRoot()).removeRecursively();
}

// True when the window has program buttons and every one is in the given state.
inline bool buttonsEnabled(const QWidget &window, bool enabled)
{
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    for (const QPushButton *button : buttons) {
        if (button->isEnabled() != enabled)
            return false;
    }
    return !buttons.isEmpty();
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace SyncFixture
