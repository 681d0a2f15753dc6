#pragma once

#include <QString>
#include <QStringList>

// Collects the debug lines of the process while it lives, as the default handler would print
// them; everything is still forwarded (debug lines only with VELTRO_TEST_VERBOSE set).
class LogCollector
{
public:
    LogCollector();
    ~LogCollector();
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    QStringList lines() const;
    void clear();
    // Index of the first line at or after from equal to text (or starting with it), or -1.
    int indexOf(const QString &text, bool prefix = false, int from = 0) const;
    bool contains(const QString &text, bool prefix = false) const
    {
        return indexOf(text, prefix) >= 0;
    }
    int count(const QString &text, bool prefix = false) const;
    // Empty when every text is a whole line, in this order; else the log, for the failure message.
    QString missingInOrder(const QStringList &texts) const;
};
