#include "extract/filenames.h"

#include "extract/launcherfiles.h"

#include <QLatin1String>
#include <QList>

namespace {

bool isForbiddenCharacter(QChar c)
{
    return c.unicode() < 32 || QStringView(u"<>:\"/\\|?*").contains(c);
}

// Windows reads these as devices, also with an extension ("nul.txt") and before blanks.
bool isDeviceName(QStringView name)
{
    QStringView base = name.left(name.indexOf(u'.'));
    while (base.endsWith(u' '))
        base.chop(1);
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    if (base.size() != 4 || !QStringView(u"0123456789\u00b9\u00b2\u00b3").contains(base.at(3)))
        return false;
    const QStringView prefix = base.left(3);
    return prefix.compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
           || prefix.compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0;
}

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// A component that may name the parent folder: Windows drops trailing dots and blanks from a
// component, so ".. " or "... " are no safer than "..".
bool isParentReference(QStringView part)
{
    if (part.count(u'.') < 2)
        return false;
    for (const QChar c : part) {
        if (c != u'.' && c != u' ')
            return false;
    }
    return true;
}

// A name that is absolute or climbs out of the root.
bool escapesRoot(const QString &name)
{
    if (name.startsWith(u'/') || name.startsWith(u'\\'))
        return true;
    if (name.size() >= 2 && isAsciiLetter(name.at(0)) && name.at(1) == u':')
        return true;
    for (const QStringView part : FileNames::components(name)) {
        if (isParentReference(part))
            return true;
    }
    return false;
}

// The launcher's own files at the top of the install root (its lock, its log and the log of the
// run before), and the folder an update is staged in: no archive may write over them.
bool isLauncherName(QStringView topComponent)
{
    for (const char *own : LauncherFiles::all) {
        if (topComponent.compare(QLatin1String(own), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

namespace FileNames {

bool isPortableComponent(QStringView name)
{
    if (name.isEmpty())
        return true;
    for (const QChar c : name) {
        if (isForbiddenCharacter(c))
            return false;
    }
    return !name.endsWith(u'.') && !name.endsWith(u' ') && !isDeviceName(name);
}

bool isSafeRepoName(const QString &repoName)
{
    // Without a separator the whole name is the only component; the component rule refuses
    // separators, and NUL, at which the system would end "a<NUL>b" as the files of "a".
    // It refuses ".." too; "." names the files "._hash.txt" and "..zip", which are harmless.
    return repoName == QStringLiteral(".") || isPortableComponent(repoName);
}

QList<QStringView> components(const QString &entryName)
{
    QList<QStringView> parts;
    qsizetype start = 0;
    while (start <= entryName.size()) {
        qsizetype end = start;
        while (end < entryName.size() && entryName.at(end) != u'/' && entryName.at(end) != u'\\')
            ++end;
        parts.append(QStringView(entryName).mid(start, end - start));
        start = end + 1;
    }
    return parts;
}

EntryVerdict entryVerdict(const QString &entryName)
{
    if (entryName.contains(QLatin1String(".gitattributes")))
        return EntryVerdict::Skip;
    if (escapesRoot(entryName))
        return EntryVerdict::OutsideRoot;
    bool top = true; // "./launcher.log" names the log as well
    for (const QStringView part : components(entryName)) {
        if (part == u".")
            continue;
        if (!isPortableComponent(part) || (top && isLauncherName(part)))
            return EntryVerdict::Unsafe;
        top = false;
    }
    return EntryVerdict::Install;
}

} // namespace FileNames
