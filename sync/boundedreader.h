#pragma once

#include <QByteArray>
#include <QtGlobal>

class QNetworkReply;

// Reads a reply that has a read buffer bound, and puts the bound back in force when Qt's network
// thread has lost count of the bytes in flight (see boundedreader.cpp).
class BoundedReader
{
public:
    // What the reply holds now, as readAll() would give it.
    QByteArray takeArrived(QNetworkReply &reply);

    // Whether the release of the waiting bytes, about to be read under the given bound, may be
    // kept from Qt's count; records the decision.
    bool mayWithhold(qint64 waiting, qint64 bound);

private:
    qint64 withheld = 0;
    qint64 provenShortfall = 0;
};
