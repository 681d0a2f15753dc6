#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects every debug message of the process while it lives, as the text the default handler
// would print, so tests compare exact log lines and their order. Messages are still forwarded to
// the previous handler, which keeps failing tests readable.
class LogCollector
{
public:
    LogCollector();
    ~LogCollector();
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    QStringList lines() const;
    void clear();
    // Index of the first line equal to text (or starting with it, when prefix is set), or -1.
    int indexOf(const QString &text, bool prefix = false, int from = 0) const;
    bool contains(const QString &text, bool prefix = false) const;
    int count(const QString &text, bool prefix = false) const;
    // True when every text appears as a whole line, in this order (other lines may stand between).
    bool containsInOrder(const QStringList &texts) const;

    static void setQuiet(bool quiet);
};
