#include "app/logfile.h"

#include "extract/launcherfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <memory>

namespace {

constexpr const char *fileName = LauncherFiles::log;
constexpr const char *olderFileName = LauncherFiles::previousLog;

// The handler is a plain function; Qt's network thread may log too, hence the mutex.
QMutex mutex;
std::unique_ptr<QFile> file;
qint64 written = 0;
qint64 maxBytes = 0;
QtMessageHandler previous = nullptr;

// Called with the mutex held. Any failure closes the file for the rest of the run.
void append(const QString &message)
{
    if (!file)
        return;
    QByteArray line = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss.zzz ").toUtf8()
                      + message.toUtf8() + '\n';
    const bool full = written + line.size() > maxBytes;
    if (full)
        line = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss.zzz ").toUtf8()
               + "Log file limit of " + QByteArray::number(maxBytes)
               + " bytes reached: the rest of this run is not written here.\n";
    if (file->write(line) != line.size() || full) {
        file.reset();
        return;
    }
    written += line.size();
}

void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&mutex);
        append(qFormatLogMessage(type, context, message));
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

LogFile::LogFile(const QString &folder, qint64 maxBytesPerRun)
{
    {
        QMutexLocker locker(&mutex);
        const QDir dir(folder);
        QFile::remove(dir.filePath(olderFileName));
        // A log that cannot be turned over (a folder in the older one's place, or on Windows a
        // viewer holding it) is written on after its end rather than emptied.
        const bool turnedOver = QFile::rename(dir.filePath(fileName), dir.filePath(olderFileName));
        // Unbuffered: what was logged before a crash is in the file.
        file = std::make_unique<QFile>(dir.filePath(fileName));
        if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered
                        | (turnedOver ? QIODevice::Truncate : QIODevice::Append)))
            file.reset();
        // Written on, the file keeps to the cap all the same.
        written = file ? file->size() : 0;
        maxBytes = maxBytesPerRun;
    }
    previous = qInstallMessageHandler(handle);
}

LogFile::~LogFile()
{
    qInstallMessageHandler(previous);
    QMutexLocker locker(&mutex);
    file.reset();
}
