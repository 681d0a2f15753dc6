#include "logcollector.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex mutex;
QStringList collected;
LogCollector *active = nullptr;
QtMessageHandler previous = nullptr;
bool quietForward = true;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&mutex);
        if (type == QtDebugMsg)
            collected.append(message);
    }
    // The panel's button style names a property Qt's style sheets do not know, and icon names
    // without a picture are normal: these warnings would drown everything else.
    const bool styleNoise = message.startsWith("Unknown property background-size")
        || message.startsWith("Could not create pixmap from :/assets/");
    if (previous && !styleNoise && (!quietForward || type != QtDebugMsg))
        previous(type, context, message);
}

} // namespace

LogCollector::LogCollector()
{
    Q_ASSERT(!active);
    active = this;
    collected.clear();
    previous = qInstallMessageHandler(collect);
    quietForward = qEnvironmentVariableIsEmpty("VELTRO_TEST_VERBOSE");
}

LogCollector::~LogCollector()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

QStringList LogCollector::lines() const
{
    QMutexLocker locker(&mutex);
    return collected;
}

void LogCollector::clear()
{
    QMutexLocker locker(&mutex);
    collected.clear();
}

int LogCollector::indexOf(const QString &text, bool prefix, int from) const
{
    const QStringList all = lines();
    for (int i = qMax(0, from); i < all.size(); ++i) {
        if (prefix ? all.at(i).startsWith(text) : all.at(i) == text)
            return i;
    }
    return -1;
}

bool LogCollector::contains(const QString &text, bool prefix) const
{
    return indexOf(text, prefix) >= 0;
}

int LogCollector::count(const QString &text, bool prefix) const
{
    int n = 0;
    for (const QString &line : lines())
        n += (prefix ? line.startsWith(text) : line == text) ? 1 : 0;
    return n;
}

bool LogCollector::containsInOrder(const QStringList &texts) const
{
    int from = 0;
    for (const QString &text : texts) {
        const int at = indexOf(text, false, from);
        if (at < 0)
            return false;
        from = at + 1;
    }
    return true;
}

void LogCollector::setQuiet(bool quiet)
{
    quietForward = quiet;
}
