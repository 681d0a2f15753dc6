#pragma once

#include "sync/archivesink.h"
#include "sync/boundedreader.h"
#include "sync/transferprotocol.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// How far a download is. The time left is estimated from this attempt's bytes and time alone.
struct TransferProgress
{
    qint64 received = 0; // of the whole archive, a continued download's earlier bytes included
    qint64 total = -1;   // the archive's length; -1 when unknown
    qint64 attemptBytes = 0;
    qint64 attemptMs = 0;
};

// How an attempt ended.
struct TransferOutcome
{
    enum Kind {
        Downloaded, // the archive file is whole
        Failed,     // reason: the player's words ("server answered 404", "connection lost")
        Unwritable, // reason: the folder, ": " and the system's reason
        NoSpace,    // reason: "X needed on <folder>, Y free"; nothing was asked for
    } kind = Failed;
    QString reason;
    bool retried = false; // Failed by a cut or a time-out: a new attempt is due
    // Downloaded: the archive's validator as the server gave it, empty when it gave none.
    QByteArray validator = {};
};

// One attempt to download a repository's archive: the HEAD, then the GET streamed into the
// archive file. An archive left by an earlier attempt or start is continued with a ranged GET,
// or used as it is, when it was downloaded from the same address for the same commit and the
// server still has the same file (see TransferProtocol). It reports how far it is and how it
// ended, and knows nothing of who asked: retrying, installing and showing are its owner's.
class ArchiveTransfer : public QObject
{
    Q_OBJECT

public:
    ArchiveTransfer(QNetworkAccessManager *network, const QUrl &url, const QString &archivePath,
                    const QString &commit, QObject *parent);

    // Sends the HEAD; finished() follows exactly once, later.
    void start();
    // Stores the answer of a GET sent by someone else, whose headers tell the whole archive of
    // the given length, as this download's: a range request answered with the whole archive
    // is not asked again. finished() follows exactly once, later.
    void takeOver(QNetworkReply *reply, qint64 archiveLength);

signals:
    void progress(const TransferProgress &progress);
    void finished(const TransferOutcome &outcome);

private:
    enum class Phase {
        Idle,
        Head,
        Asked,           // the GET sent, its answer not yet known
        Storing,         // the answer is the archive's bytes
        Discarding,      // the answer is an error page
        RestartingAtEnd, // the answer refused the range; the archive is asked whole once it ends
        Ended,
    };

    void headFinished(QNetworkReply *head);
    void download(const TransferProtocol::Start &from);
    void sendGet();
    void startAttempt();
    void attachReply();
    void headersArrived();
    void restartFromZero();
    void showProgress(qint64 bytesReceived, qint64 bytesTotal);
    void receive();
    bool storeArrivedBytes();
    void writeFailed();
    void reportError(QNetworkReply::NetworkError code, const QString &text);
    void complete();
    void end(const TransferOutcome &outcome);
    TransferOutcome unwritable();

    QNetworkAccessManager *m_network;
    QUrl m_url;
    QString m_archivePath;
    QString m_commit;
    ArchiveSink m_sink;
    BoundedReader m_reader;
    Phase m_phase = Phase::Idle;
    TransferProtocol::Start m_from;  // what this GET asked for
    qint64 m_headSize = -1;          // from the HEAD; -1 when it gave none
    QPointer<QNetworkReply> m_reply; // the GET
    QMetaObject::Connection m_errorHandler;
    qint64 m_bodyBytes = 0; // stored of this GET's body
    qint64 m_expected = -1; // the archive file's length once this answer is stored; -1: unknown
    QByteArray m_validator; // of the archive being stored
    bool m_retried = false;
    bool m_writeFailed = false;
    QElapsedTimer m_attemptClock;
};
