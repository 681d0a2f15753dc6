#pragma once

#include "launch/columnstatus.h"
#include "manifest/repo.h"
#include "sync/archivesink.h"
#include "sync/boundedreader.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class RepoManager;

// One attempt to download a repository's archive: the HEAD, the GET streamed into the archive
// file, and the completion that has the archive extracted and the commit recorded. A closed
// connection or a time-out schedules a new attempt. An archive left by an earlier attempt or
// start is continued with a ranged GET when the server still has the same file (see
// ResumeRecord). The manager owns the attempt, which deletes itself once the attempt is over.
class ArchiveTransfer : public QObject
{
public:
    static void start(RepoManager *manager, QNetworkAccessManager *network, const Repo &repo,
                      const QString &latestCommitHash);

private:
    ArchiveTransfer(RepoManager *manager, QNetworkAccessManager *network, const Repo &repo,
                    const QString &latestCommitHash);

    void headFinished(QNetworkReply *head);
    qint64 resumePoint(const QNetworkReply &head);
    void download(qint64 from);
    void sendGet();
    bool openFresh();
    void connectGet();
    void headersArrived();
    bool rangeFits() const;
    void restartFromZero();
    void showProgress(qint64 bytesReceived, qint64 bytesTotal);
    void receive();
    bool storeArrivedBytes();
    void writeFailed();
    void noteWriteFailure();
    void showUnwritable();
    void reportError(QNetworkReply::NetworkError code, const QString &text);
    void complete();
    bool cutShort() const;
    void installDownloaded();

    RepoManager *m_manager;
    QNetworkAccessManager *m_network;
    Repo m_repo;
    QString m_latestCommitHash;
    QString m_archivePath;
    QUrl m_url;
    ColumnStatus m_status;
    ArchiveSink m_sink;
    BoundedReader m_reader;
    qint64 m_fileSize = -1;          // from the HEAD; -1 when it gave none
    QPointer<QNetworkReply> m_reply; // the GET
    QMetaObject::Connection m_errorHandler;
    qint64 m_offset = 0;    // what the archive held when this GET was sent, and continues
    QByteArray m_validator; // of the bytes held, sent in If-Range
    bool m_headersSeen = false;
    bool m_bodyWanted = false;   // the answer is the archive, not an error page
    bool m_restartAtEnd = false; // from the start once this answer has ended
    bool m_retrying = false;
    qint64 m_bytesWritten = 0; // by this GET
    // Qt's text for bytes the archive file refused; the attempt fails with it.
    std::optional<QString> m_writeFailure;
};
