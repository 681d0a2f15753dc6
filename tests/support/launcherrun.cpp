#include "launcherrun.h"

#include "app/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>

#include "zipbuilder.h"

LauncherRun::LauncherRun(bool tls)
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

QByteArray LauncherRun::commitsPath(const QString &name)
{
    return "/commits/" + name.toUtf8().toHex(); // names may hold what a path cannot
}

QByteArray LauncherRun::archivePath(const QString &name)
{
    return "/files/" + name.toUtf8().toHex() + ".zip";
}

QByteArray LauncherRun::commitsBody(const QString &id)
{
    return QJsonDocument(QJsonArray{QJsonObject{{"id", id}, {"title", "Newest"}},
                                    QJsonObject{{"id", QString(40, '0')}, {"title", "Older"}}})
        .toJson();
}

QByteArray LauncherRun::archive(const QString &dir, int dataSize)
{
    const QByteArray top = dir.toUtf8() + "/";
    return ZipBuilder()
        .addFile(top + "bin/start.sh", recorder(), 0100755)
        .addFile(top + "bin/tool.sh", recorder(), 0100755)
        .addStoredFile(top + "data.bin", noise(dataSize, dir))
        .bytes();
}

QByteArray LauncherRun::recorder()
{
    return readAll(QStringLiteral(VELTRO_RECORD_LAUNCH_SCRIPT));
}

QByteArray LauncherRun::noise(int size, const QString &seed)
{
    QRandomGenerator generator(qHash(seed));
    QByteArray bytes(size, Qt::Uninitialized);
    std::generate(bytes.begin(), bytes.end(), [&] { return char(generator.bounded(256)); });
    return bytes;
}

QByteArray LauncherRun::readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool LauncherRun::writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList LauncherRun::launchRecord(const QString &folder)
{
    return QString::fromUtf8(readAll(folder + "/launch-record.txt"))
        .split('\n', Qt::SkipEmptyParts);
}

QString LauncherRun::installRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QJsonObject LauncherRun::repo(const QString &name) const
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

void LauncherRun::serveRepo(const QString &name, const QString &id, int dataSize)
{
    serveRepo(name, id, archive(name, dataSize));
    m_data.insert(name, noise(dataSize, name));
}

void LauncherRun::serveRepo(const QString &name, const QString &id, const QByteArray &zip)
{
    repos.append(repo(name));
    server.serve(commitsPath(name), commitsBody(id));
    server.serve(archivePath(name), zip);
}

void LauncherRun::start(const QByteArray &manifest)
{
    const QJsonObject root{{"updater_version", "0.2"}, {"repos", repos}};
    server.serve("/kiv/updater.json", !manifest.isNull() ? manifest : QJsonDocument(root).toJson());
    window = std::make_unique<MainWindow>(server.url("/kiv/updater.json"));
    window->show();
}

QString LauncherRun::state(const QString &name, const QString &id) const
{
    const QProgressBar *bar = window ? window->findChild<QProgressBar *>(name) : nullptr;
    const auto buttons = window ? window->findChildren<QPushButton *>() : QList<QPushButton *>();
    const auto on = std::count_if(buttons.cbegin(), buttons.cend(),
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
