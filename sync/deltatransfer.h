#pragma once

#include "extract/deltaplan.h"
#include "extract/installindex.h"
#include "extract/rangeplan.h"
#include "extract/zipdirectory.h"
#include "sync/byteranges.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class RangedArchive;

// What a delta update fetched: the new archive's directory, the plan made from it, and the
// fetched pieces, which the install reads.
struct FetchedPieces
{
    ZipDirectory directory;
    DeltaPlan plan;
    std::unique_ptr<RangedArchive> archive;
    qint64 archiveLength = 0;
    QByteArray validator;
};

struct DeltaOutcome
{
    enum Kind {
        Fetched,      // pieces holds what the install needs
        WholeAnswer,  // a range request was answered with the whole archive, unchanged: reply
        WholeArchive, // reason: why the whole archive is downloaded instead
        Failed,       // reason: the player's words; retried: a cut or time-out, try again
    } kind = WholeArchive;
    QString reason;
    bool retried = false;
    std::shared_ptr<FetchedPieces> pieces = {};
    QNetworkReply *reply = nullptr; // WholeAnswer: the GET under way, to be taken over
    qint64 archiveLength = -1;
};

// How far a delta update is: the changed files and the bytes they need.
struct DeltaProgress
{
    qsizetype files = 0;
    qsizetype allFiles = 0;
    qint64 received = 0;
    qint64 total = 0;
};

// A delta update's download: the HEAD, the new archive's end by range (its central directory),
// the plan against the index of the installed version, then the changed entries' bytes by
// multi-range requests, every one with If-Range, so that no two versions are ever spliced.
// Whatever cannot be done by ranges ends in WholeArchive, and the owner downloads the archive
// as it always did. Reports and decides nothing else; deletes itself once finished.
class DeltaTransfer : public QObject
{
    Q_OBJECT

public:
    // alsoFetch: installed files to fetch whatever the index says (files that failed a check).
    // piecesPath: where the fetched pieces are kept while they are installed.
    DeltaTransfer(QNetworkAccessManager *network, const QUrl &url, InstallIndex index,
                  const QString &installRoot, const QStringList &alsoFetch,
                  const QString &piecesPath, QObject *parent);
    ~DeltaTransfer() override;

    void start();

signals:
    void progress(const DeltaProgress &progress);
    void finished(const DeltaOutcome &outcome);

private:
    enum class Stage { Head, Tail, Entries, Ended };
    enum class Body { Undecided, Parts, OnePart };

    void headFinished(QNetworkReply *head);
    void sendNext();
    void headersArrived();
    void receive();
    void replyFinished();
    bool store(qint64 offset, const QByteArray &bytes);
    void requestDone();
    void planEntries();
    void askOneAtATime();
    void dropReply();
    void fallBack(const QString &reason);
    void fail(const QString &reason, bool retried);
    void end(const DeltaOutcome &outcome);

    QNetworkAccessManager *m_network;
    QUrl m_url;
    InstallIndex m_index;
    QString m_installRoot;
    QString m_piecesPath;
    std::shared_ptr<FetchedPieces> m_pieces;
    Stage m_stage = Stage::Head;
    qint64 m_tailFrom = 0;
    QList<QList<ByteRange>> m_queue; // requests still to send
    QList<ByteRange> m_asked;        // by the request under way
    QPointer<QNetworkReply> m_reply;
    Body m_body = Body::Undecided;
    std::optional<ByteRangesReader> m_parts;
    ByteRange m_onePart;
    qint64 m_onePartAt = 0;
    int m_requests = 0;
    int m_maxRequests = 0;
    qint64 m_bodyBytes = 0; // every byte the server sent in bodies
    qint64 m_stored = 0;    // of the entries' ranges
};
