#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// Every rule on names that become file names: repository names (files in the working
// directory) and archive entry names (files under the install root). The rules hold on every
// system, so a manifest or an archive installs alike everywhere.
namespace FileNames {

// True when Windows takes the text as the name of a file of its own. False for a name holding
// a character Windows forbids (NUL, 1 to 31, < > : " / \ | ? *), a device name with or without
// an extension, in any case (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9, LPT0 to LPT9,
// also with the digits ¹ ² ³), or a name that ends in a dot or a blank, which Windows drops and
// so names another file. The empty text passes; "." and ".." are the caller's to judge.
bool isPortableComponent(QStringView name);

// A repository name becomes file names in the working directory: one that holds a folder
// separator or a ".." component would reach outside it, and one Windows refuses is refused
// everywhere alike.
bool isSafeRepoName(const QString &repoName);

// What becomes of an archive entry, by its name.
enum class EntryVerdict {
    Install,
    Skip,        // a Git attribute file: the name holds ".gitattributes", in that case
    OutsideRoot, // absolute, or climbs out of the install root
    Unsafe, // a component Windows refuses or reads as another file, or a name of the launcher's
};
EntryVerdict entryVerdict(const QString &entryName);

// The components of an entry name. Windows reads "\" as a separator too, so both split it
// wherever the launcher runs.
QList<QStringView> components(const QString &entryName);

} // namespace FileNames
