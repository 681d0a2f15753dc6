#include "sync/resumerecord.h"

#include <QFile>
#include <QList>

namespace {

QString recordPath(const QString &archivePath)
{
    return archivePath + QStringLiteral(".resume");
}

} // namespace

std::optional<ResumeRecord> ResumeRecord::read(const QString &archivePath)
{
    QFile file(recordPath(archivePath));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool isNumber = false;
    const qint64 length = lines.value(0).toLongLong(&isNumber);
    if (lines.size() != 4 || !isNumber || length <= 0 || lines.at(2).isEmpty())
        return std::nullopt;
    return ResumeRecord{length, QString::fromUtf8(lines.at(1)), lines.at(2),
                        QString::fromUtf8(lines.at(3))};
}

bool ResumeRecord::write(const QString &archivePath) const
{
    // A commit id may hold any text; one that holds a line end cannot be recorded.
    if (url.contains(u'\n') || validator.contains('\n') || commit.contains(u'\n'))
        return false;
    QFile file(recordPath(archivePath));
    const QByteArray text = QByteArray::number(length) + '\n' + url.toUtf8() + '\n' + validator
                            + '\n' + commit.toUtf8();
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
}

void ResumeRecord::remove(const QString &archivePath)
{
    QFile::remove(recordPath(archivePath));
}
