#pragma once

#include <QNetworkReply>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkRequest;

// Sends every request of the launcher and watches its reply. Qt sets no transfer timeout, and its
// own one reports OperationCanceledError: the watch ends a reply that receives nothing for a
// while, and lets the handlers see that end as TimeoutError.
namespace WatchedRequest {

constexpr int defaultIdleMs = 30000;

// The idle limit of later watches. The program keeps the default; tests shorten it.
void setIdleMs(int ms);

// Send a request and watch its reply: every request of the launcher goes through these. A read
// buffer bound is set before anything else: Qt's network thread only learns it once the request
// is under way, and whatever it reads before then goes through unbounded.
QNetworkReply *get(QNetworkAccessManager *manager, const QNetworkRequest &request,
                   qint64 readBufferSize = 0);
QNetworkReply *head(QNetworkAccessManager *manager, const QNetworkRequest &request);

// For benchmarks and tests: called with every GET given a read buffer bound, right after the bound
// is set and before anything else is connected to the reply. Empty: none.
void setBoundedGetHook(std::function<void(QNetworkReply *)> hook);

bool timedOut(const QNetworkReply *reply);

// The reply's error and error text, with a time-out of the watcher reported as TimeoutError.
// Qt lets no one but the reply set its error, so handlers read the outcome here, not from it.
QNetworkReply::NetworkError error(const QNetworkReply *reply);
QString errorString(const QNetworkReply *reply);

} // namespace WatchedRequest
