#include "extract/filenames.h"

#include <QLatin1String>

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
    for (const char *device : {"CON", "PRN", "AUX", "NUL"}) {
        if (base.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    if (base.size() != 4 || base.at(3) < u'1' || base.at(3) > u'9')
        return false;
    const QStringView prefix = base.left(3);
    return prefix.compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
        || prefix.compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0;
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

} // namespace FileNames
