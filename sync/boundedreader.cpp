#include "sync/boundedreader.h"

#include <QNetworkReply>
#include <QSignalBlocker>

#include <algorithm>

// Qt (6.4) hands a reply's read buffer bound to its network thread by a queued signal, and only
// after get() has already sent that thread the request. When the response is read before the
// bound arrives, everything read goes through uncounted (over plain HTTP the socket is read for as
// long as data keeps coming, tens of MiB), yet this thread later reports those bytes as freed, and
// the network thread's count of bytes in flight ends that far below zero: the bound is lifted by
// that much for the rest of the download. Bytes beyond the bound waiting here prove such a
// shortfall, so up to that many are read with the reply's signals blocked, which keeps their
// release unreported and brings the count back. Never more than proven: an over-full count would
// stall the transfer.
QByteArray BoundedReader::takeArrived(QNetworkReply &reply)
{
    // A decoded body is counted in encoded bytes on the other side; leave it be.
    if (reply.readBufferSize() <= 0 || reply.hasRawHeader("Content-Encoding"))
        return reply.readAll();
    if (!mayWithhold(reply.bytesAvailable(), reply.readBufferSize()))
        return reply.readAll();
    QByteArray bytes;
    {
        const QSignalBlocker blocker(&reply);
        bytes = reply.readAll();
    }
    // Nothing is left to read; this reports an empty release, which makes the network thread
    // look for data again as a reported release would have.
    reply.readAll();
    return bytes;
}

bool BoundedReader::mayWithhold(qint64 waiting, qint64 bound)
{
    // Counted bytes in flight never exceed the bound, so whatever waits beyond it, together with
    // what is withheld already, went through uncounted.
    provenShortfall = std::max(provenShortfall, waiting + withheld - bound);
    if (waiting <= 0 || withheld + waiting > provenShortfall)
        return false;
    withheld += waiting;
    return true;
}
