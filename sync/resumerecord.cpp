#include "sync/resumerecord.h"

#include <QFile>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

namespace {

QString recordPath(const QString &archivePath)
{
    return archivePath + QStringLiteral(".resume");
}

} // namespace

QByteArray ResumeRecord::validatorOf(const QNetworkReply &reply)
{
    if (reply.hasRawHeader("ETag")) {
        const QByteArray etag = reply.rawHeader("ETag").trimmed();
        return etag.startsWith("W/") ? QByteArray() : etag;
    }
    return reply.rawHeader("Last-Modified").trimmed();
}

std::optional<ResumeRecord> ResumeRecord::of(const QNetworkReply &reply, const QString &url)
{
    const QByteArray validator = validatorOf(reply);
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    if (validator.isEmpty() || !length.isValid() || length.toLongLong() <= 0
        || reply.rawHeader("Accept-Ranges").trimmed().toLower() != "bytes"
        || !(encoding.isEmpty() || encoding == "identity"))
        return std::nullopt;
    return ResumeRecord{length.toLongLong(), url, validator};
}

std::optional<ResumeRecord> ResumeRecord::read(const QString &archivePath)
{
    QFile file(recordPath(archivePath));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool isNumber = false;
    const qint64 length = lines.value(0).toLongLong(&isNumber);
    if (lines.size() != 3 || !isNumber || length <= 0 || lines.at(2).isEmpty())
        return std::nullopt;
    return ResumeRecord{length, QString::fromUtf8(lines.at(1)), lines.at(2)};
}

bool ResumeRecord::write(const QString &archivePath) const
{
    QFile file(recordPath(archivePath));
    const QByteArray text = QByteArray::number(length) + '\n' + url.toUtf8() + '\n' + validator;
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
}

void ResumeRecord::remove(const QString &archivePath)
{
    QFile::remove(recordPath(archivePath));
}
