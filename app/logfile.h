#pragma once

#include <QString>
#include <QtGlobal>

// Copies every line of the debug stream into launcher.log in a folder, each led by the local
// time with milliseconds, while the stream itself goes on as before. The previous run's file is
// kept as launcher.1.log; when it cannot be moved there, it is written on after its end, never
// emptied. A file that cannot be opened or written is given up silently, and it grows to at most
// maxBytes in one run, so a looping failure cannot fill the disk. One at a time.
class LogFile
{
public:
    static constexpr qint64 defaultMaxBytes = 4 * 1024 * 1024;

    explicit LogFile(const QString &folder, qint64 maxBytes = defaultMaxBytes);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;
};
