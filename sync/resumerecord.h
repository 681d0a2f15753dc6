#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

class QNetworkReply;

// What a partly downloaded archive was cut from: its address, the length the server announced
// and the validator it sent. Kept beside the archive as "<archive>.resume" while the archive may
// be continued, so that a retry or a later start asks for the rest of that very file; removed
// with the archive. The file holds three lines: length, address, validator.
struct ResumeRecord
{
    qint64 length = 0;
    QString url;
    QByteArray validator;

    // The validator a later request may name in If-Range: a strong ETag, or else Last-Modified.
    // Empty when the reply has neither, or a weak ETag (the bytes may differ between answers).
    static QByteArray validatorOf(const QNetworkReply &reply);
    // The record of the answer to a GET of url: one with a length, a validator, Accept-Ranges:
    // bytes and no encoding; none otherwise.
    static std::optional<ResumeRecord> of(const QNetworkReply &reply, const QString &url);

    static std::optional<ResumeRecord> read(const QString &archivePath);
    bool write(const QString &archivePath) const;
    static void remove(const QString &archivePath);
};
