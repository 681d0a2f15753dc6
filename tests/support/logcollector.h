#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

#include <algorithm>

// Collects the debug lines of the process while it lives, as the default handler would print
// them; everything is still forwarded (debug lines only with VELTRO_TEST_VERBOSE set).
class LogCollector
{
public:
    LogCollector()
    {
        clear();
        previous = qInstallMessageHandler(collect);
    }
    ~LogCollector() { qInstallMessageHandler(previous); }
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return collected;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        collected.clear();
    }
    // Index of the first line at or after from equal to text (or starting with it), or -1.
    int indexOf(const QString &text, bool prefix = false, int from = 0) const
    {
        const QStringList all = lines();
        for (int i = qMax(0, from); i < all.size(); ++i) {
            if (prefix ? all.at(i).startsWith(text) : all.at(i) == text)
                return i;
        }
        return -1;
    }
    bool contains(const QString &text, bool prefix = false) const
    {
        return indexOf(text, prefix) >= 0;
    }
    int count(const QString &text, bool prefix = false) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.cbegin(), all.cend(), [&](const QString &line) {
            return prefix ? line.startsWith(text) : line == text;
        }));
    }
    // Empty when every text is a whole line (or a line's start), in this order; else the log, for
    // the failure message.
    QString missingInOrder(const QStringList &texts, bool prefix = false) const
    {
        int from = 0;
        for (const QString &text : texts) {
            if ((from = indexOf(text, prefix, from) + 1) == 0)
                return "missing: " + text + "\nin:\n" + lines().join('\n');
        }
        return {};
    }

private:
    static inline QMutex mutex;
    static inline QStringList collected;
    static inline QtMessageHandler previous = nullptr;
    static void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
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
};
