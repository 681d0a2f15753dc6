#include "logcollector.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtGlobal>

namespace {

QMutex mutex;
QStringList collected;
QtMessageHandler previous = nullptr;
bool verbose = false;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker locker(&mutex);
        collected.append(message);
    }
    // The panel's style names a property Qt does not know: noise that would drown the rest.
    if (previous && (verbose || type != QtDebugMsg)
        && !message.startsWith("Unknown property background-size"))
        previous(type, context, message);
}

} // namespace

LogCollector::LogCollector()
{
    clear();
    verbose = !qEnvironmentVariableIsEmpty("VELTRO_TEST_VERBOSE");
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
    int n = 0;
    for (const QString &line : lines())
        n += (prefix ? line.startsWith(text) : line == text) ? 1 : 0;
    return n;
}

QString LogCollector::missingInOrder(const QStringList &texts) const
{
    int from = 0;
    for (const QString &text : texts) {
        from = indexOf(text, false, from) + 1;
        if (from == 0)
            return "missing: " + text + "\nin:\n" + lines().join('\n');
    }
    return {};
}
