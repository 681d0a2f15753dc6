#include "logcollector.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>

namespace {
QMutex mutex;
QStringList collected;
QtMessageHandler previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker locker(&mutex);
        collected.append(message);
    }
    // The panel's style names a property Qt does not know: noise that would drown the rest.
    if ((type != QtDebugMsg || qEnvironmentVariableIsSet("VELTRO_TEST_VERBOSE"))
        && !message.startsWith("Unknown property background-size"))
        previous(type, context, message);
}
} // namespace

LogCollector::LogCollector()
{
    clear();
    previous = qInstallMessageHandler(collect);
}

LogCollector::~LogCollector()
{
    qInstallMessageHandler(previous);
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

int LogCollector::count(const QString &text, bool prefix) const
{
    const QStringList all = lines();
    return int(std::count_if(all.cbegin(), all.cend(), [&](const QString &line) {
        return prefix ? line.startsWith(text) : line == text;
    }));
}

QString LogCollector::missingInOrder(const QStringList &texts) const
{
    int from = 0;
    for (const QString &text : texts) {
        if ((from = indexOf(text, false, from) + 1) == 0)
            return "missing: " + text + "\nin:\n" + lines().join('\n');
    }
    return {};
}
