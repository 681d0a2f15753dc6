#include "sync/watchedrequest.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QVariant>

namespace {

constexpr char timedOutProperty[] = "veltroTimedOut";
constexpr int tickMs = 1000;

// Counts idle time in ticks of its own. A tick that comes late means the event loop was blocked
// (an extraction runs on the same thread); data may then be waiting unread, so the idle count
// starts again instead of blaming the server.
class IdleWatcher : public QObject
{
public:
    IdleWatcher(QNetworkReply *reply, int idleMs) : QObject(reply), m_reply(reply), m_idleMs(idleMs)
    {
        m_sinceActivity.start();
        m_sinceTick.start();
        const auto touch = [this] { m_sinceActivity.restart(); };
        // Qt holds back progress signals that come within 100 ms of the last one; readyRead
        // tells of every arrival.
        connect(reply, &QNetworkReply::readyRead, this, touch);
        connect(reply, &QNetworkReply::downloadProgress, this, touch);
        connect(reply, &QNetworkReply::uploadProgress, this, touch);
        connect(reply, &QNetworkReply::metaDataChanged, this, touch);
        connect(reply, &QNetworkReply::finished, this, [this] { m_timer.stop(); });
        m_timer.setInterval(qMin(tickMs, idleMs));
        connect(&m_timer, &QTimer::timeout, this, &IdleWatcher::tick);
        m_timer.start();
    }

private:
    void tick()
    {
        if (m_sinceTick.restart() > 2 * m_timer.interval() + 500) {
            m_sinceActivity.restart();
            return;
        }
        if (m_sinceActivity.elapsed() < m_idleMs || m_reply->isFinished())
            return;
        m_timer.stop();
        m_reply->setProperty(timedOutProperty, true);
        m_reply->abort();
    }

    QNetworkReply *m_reply;
    int m_idleMs;
    QTimer m_timer;
    QElapsedTimer m_sinceActivity;
    QElapsedTimer m_sinceTick;
};

} // namespace

namespace WatchedRequest {

static int s_idleMs = defaultIdleMs;
static std::function<void(QNetworkReply *)> s_boundedGetHook;

void setIdleMs(int ms)
{
    s_idleMs = ms;
}

// The watcher is a child of the reply and goes with it.
static void watch(QNetworkReply *reply)
{
    new IdleWatcher(reply, s_idleMs);
}

QNetworkReply *get(QNetworkAccessManager *manager, const QNetworkRequest &request,
                   qint64 readBufferSize)
{
    QNetworkReply *reply = manager->get(request);
    if (readBufferSize > 0) {
        reply->setReadBufferSize(readBufferSize);
        if (s_boundedGetHook)
            s_boundedGetHook(reply);
    }
    watch(reply);
    return reply;
}

QNetworkReply *head(QNetworkAccessManager *manager, const QNetworkRequest &request)
{
    QNetworkReply *reply = manager->head(request);
    watch(reply);
    return reply;
}

void setBoundedGetHook(std::function<void(QNetworkReply *)> hook)
{
    s_boundedGetHook = std::move(hook);
}

bool timedOut(const QNetworkReply *reply)
{
    return reply->property(timedOutProperty).toBool();
}

QNetworkReply::NetworkError error(const QNetworkReply *reply)
{
    return timedOut(reply) ? QNetworkReply::TimeoutError : reply->error();
}

QString errorString(const QNetworkReply *reply)
{
    return timedOut(reply) ? QStringLiteral("No data received for too long: connection timed out")
                           : reply->errorString();
}

} // namespace WatchedRequest
