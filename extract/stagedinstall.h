#pragma once

#include "extract/installjournal.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <utility>

// An update installed all or nothing: the archive's files are written into a staging folder
// inside the install root and moved into place only once all of them were written and checked.
// An installed file being replaced is renamed aside first, so a running program's file (which
// Windows lets rename, not overwrite or delete) does not stop the update; when one cannot be
// moved, everything moved is put back.
//
// Each install works in a folder of its own, <root>/.veltro-update/<n>/ holding new/ (the staged
// files), old/ (the files set aside) and journal. Before the first file moves, the journal holds
// the whole plan: every folder to make and every file with its staged, set-aside and temporary
// names, and the commit record. What each step did is read back from the disk (a file is either
// at its staged name or in place, a replaced one either in place or set aside), so a kill at any
// point leaves a tree the next start can finish (once every move is done) or put back, and only
// then are the copies deleted. A target on another volume than the install root (a folder moved
// away and linked back) is copied to a temporary name beside it, synced and renamed there; the
// file it replaces is set aside beside it as well.
//
// An install whose undo could not put a file back keeps its folder, journal and every copy: the
// next start tries again, and when that fails as well removes the repository's hash file so the
// next check installs it anew. Until it is resolved no other install moves a file, since its
// undo reads the tree as that install left it. One install at a time: the constructor resolves or
// removes the folders of every earlier one.
class StagedInstall
{
public:
    // Files moved, restored or deleted so far, of all to do: called every 100 ms or so.
    using Tick = std::function<void(qint64 done, qint64 total)>;

    enum class Outcome {
        Installed,
        NotMoved,          // detail: the entry that could not be moved; all put back
        RecordUnwritable,  // detail: the hash file, ": " and the reason; all put back
        RestoreFailed,     // detail: the entry that could not be put back; all copies kept
        JournalUnwritable, // detail: the journal; nothing moved, or all put back
        Stopped,           // the test seam stopped it as a kill would
    };
    struct Result
    {
        Outcome outcome;
        QString detail;
    };

    explicit StagedInstall(const QString &root, const Tick &tick = {});
    ~StagedInstall();
    StagedInstall(const StagedInstall &) = delete;
    StagedInstall &operator=(const StagedInstall &) = delete;

    const QString &root() const { return m_root; }
    // The entry an earlier install could not put back; while there is one, commit refuses.
    const QString &unresolved() const { return m_blocked; }
    QString stagedPath(const QString &entryName) const { return m_staging + "/" + entryName; }

    // False when the name differs only in letter case from one staged before, or from a folder
    // on its path: Windows would see one file where the archive holds two.
    bool claim(const QString &entryName);
    // Notes an entry written into the staging folder, to be moved into place.
    void add(const QString &entryName, bool isFolder);
    // Moves every staged entry into place and writes the record; on failure puts everything back.
    Result commit(const CommitRecord &record);

    // For the launcher's start, once it holds its lock and before any repository is checked:
    // finishes or undoes every install a kill interrupted, and removes what earlier updates left
    // (files set aside stay while a program holds them). False when one is still unresolved.
    static bool recover(const QString &root);

    // Test seams. replaceHook is asked before an installed file is replaced, restoreHook before a
    // moved file is put back: false fails it as for a file another program holds. stopHook is
    // asked at each step ("staged", "move <entry>", "copied <entry>" across volumes, "moved",
    // "record", "recorded", "undo <entry>"):
    // true stops the install there, leaving the disk as a kill would.
    static std::function<bool(const QString &target)> replaceHook;
    static std::function<bool(const QString &target)> restoreHook;
    static std::function<bool(const QString &step)> stopHook;

private:
    struct Step
    {
        QString name;   // the entry, below the root
        bool folder;    // a folder made, else a file moved in
        QString staged; // these three below the root; empty when not used
        QString aside;
        QString temp;
    };
    StagedInstall(const QString &root, int number, const Tick &tick);
    void setNumber(int number);
    static QString recoverAll(const QString &root);
    static QString resolve(const QString &root, int number);
    static QList<int> installFolders(const QString &root);

    bool stop(const QString &step);
    bool plan(QString &failedEntry);
    bool planFolders(const QString &name);
    QString freeName(const QString &folder, const QString &suffix);
    bool perform(const Step &step, bool &crossed);
    bool reroute(Step &step);
    void reroute(const QString &name, const QString &aside, const QString &temp);
    bool isDone(const Step &step) const;
    bool undoStep(const Step &step);
    Result finish();
    Result undo(Outcome outcome, const QString &detail);
    void removeFolder();
    void advance();
    QString path(const QString &below) const { return m_root + "/" + below; }
    QString below(const QString &path) const { return path.mid(m_root.size() + 1); }

    QString m_root;
    QString m_folder; // this install's own, below the work folder
    QString m_staging;
    InstallJournal m_journal{QString()};
    QString m_blocked; // the entry an earlier install could not put back
    CommitRecord m_record;
    QList<std::pair<QString, bool>> m_entries; // name, folder
    QSet<QString> m_added;                     // the staged paths of m_entries
    QHash<QString, QString> m_claimed; // case-folded path: the path as the archive spells it
    QList<Step> m_steps;
    QSet<QString> m_planned; // the folders and temporary names the plan makes
    bool m_keep = false;     // stopped, or unresolved: the folder stays for the next start
    Tick m_tick;
    QElapsedTimer m_clock;
    qint64 m_done = 0;
    qint64 m_total = 0;
};
