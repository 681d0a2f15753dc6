#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <utility>

// An update installed all or nothing: the archive's files are written into a staging folder
// inside the install root (the same volume, so a move is a rename) and moved into place only
// once all of them were written and checked. An installed file being replaced is renamed aside
// first, so a running program's file (which Windows lets rename, not overwrite or delete) does
// not stop the update; when one cannot be moved, everything moved is put back.
class StagedInstall
{
public:
    // Removes what an earlier update left behind (see removeLeftovers).
    explicit StagedInstall(const QString &root);
    ~StagedInstall();
    StagedInstall(const StagedInstall &) = delete;
    StagedInstall &operator=(const StagedInstall &) = delete;

    const QString &root() const { return m_root; }
    QString stagedPath(const QString &entryName) const { return m_staging + "/" + entryName; }

    // False when the name differs only in letter case from one staged before, or from a folder
    // on its path: Windows would see one file where the archive holds two.
    bool claim(const QString &entryName);
    // Notes an entry written into the staging folder, to be moved into place.
    void add(const QString &entryName, bool isFolder);
    // Moves every staged entry into place. False when one could not be (failedEntry names it),
    // after everything moved was put back as it was.
    bool commit(QString &failedEntry);

    // Removes the staging folder of an update that was cut short (the launcher killed while it
    // extracted), and the files put aside that no program holds any more. For the launcher's
    // start, once it holds its lock; every update does it first as well.
    static void removeLeftovers(const QString &root);

    // Test seam: asked before an installed file is replaced; false makes the replacement fail as
    // it does for a file another program holds.
    static std::function<bool(const QString &target)> replaceHook;

private:
    struct Step
    {
        enum Kind { MadeFolder, MovedAside, MovedIn } kind;
        QString from;
        QString to;
    };
    bool makeFolders(const QString &path);
    bool moveInto(const QString &entryName);
    void rollBack();
    QString nextAsidePath();

    QString m_root;
    QString m_staging;
    QString m_aside;
    QList<std::pair<QString, bool>> m_entries; // name, folder
    QSet<QString> m_added;                     // the staged paths of m_entries
    QHash<QString, QString> m_claimed; // case-folded path: the path as the archive spells it
    QList<Step> m_steps;
    int m_asideCount = 0;
};
