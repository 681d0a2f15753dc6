#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// What a partly or wholly downloaded archive is: its address, the length the server announced,
// the validator it sent and the commit it was downloaded for. Kept beside the archive as
// "<archive>.resume" while the archive may be continued or installed, so that a retry or a later
// start asks for the rest of that very file, and never installs it for another commit; removed
// with the archive. The file holds four lines: length, address, validator, commit.
struct ResumeRecord
{
    qint64 length = 0;
    QString url;
    QByteArray validator;
    QString commit;

    static std::optional<ResumeRecord> read(const QString &archivePath);
    bool write(const QString &archivePath) const;
    static void remove(const QString &archivePath);
};
