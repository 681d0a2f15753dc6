// Drives the launcher's own synchronisation code against a local server and prints one line of
// key=value figures for bench/run.sh. Modes:
//   download URL          RepoManager::downloadZip alone: HEAD, GET, progress, archive writes;
//                         timed up to "ZIP file downloaded successfully!", then the process ends
//                         so the extraction that the completion starts next is not counted.
//   cut URL               as download, through a server that cuts the GET: the retries (and
//                         resumes) are counted, not failures; reports them with the time.
//   update MANIFEST_URL   a MainWindow on that manifest, timed from its construction until the
//                         buttons are enabled (commit check, download, extraction, hash file).
//                         A delta update (an install index and a new commit) counts as the
//                         download; the report says whether one was made or why not.
//   pressure URL_A URL_B  two repositories; B starts when A is half done, so B is still
//                         downloading while A's extraction blocks the event loop; timed up to
//                         B's "ZIP file downloaded successfully!".
// Option --ca FILE trusts the benchmark's own certificate authority.
// VELTRO_BENCH_LOG=1 (read by this tool only) copies the launcher's log lines to stderr, to look
// into a run; VELTRO_BENCH_COMMIT: the commit id the update must record (default
// the one of the benchmark's commits list).
// For sweeps, and read by this tool only: VELTRO_BENCH_READ_BOUND=BYTES replaces the read buffer
// bound the launcher gives its archive GET (0: none); VELTRO_BENCH_BOUND_AT=first-read leaves the
// GET unbounded until its first readyRead and sets the bound there.
// Log lines are timestamped and discarded: printing them is not the launcher's work.

#include "app/mainwindow.h"
#include "app/tlstrust.h"
#include "hostwindow.h"
#include "launch/gating.h"
#include "manifest/repo.h"
#include "manifest/repomanager.h"
#include "sync/watchedrequest.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int watchdogMs = 10 * 60 * 1000;
const QString enabledLine = QString::fromUtf8(allUpdatesDoneLine);
const QString commitId = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

QString expectedCommit()
{
    return qEnvironmentVariableIsEmpty("VELTRO_BENCH_COMMIT")
               ? commitId
               : qEnvironmentVariable("VELTRO_BENCH_COMMIT");
}

// A figure from /proc/self/status, in KiB; -1 when it cannot be read.
qint64 statusKib(const char *key)
{
    FILE *file = std::fopen("/proc/self/status", "r");
    if (!file)
        return -1;
    const size_t keyLength = std::strlen(key);
    char line[256];
    qint64 value = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = std::strtoll(line + keyLength + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// Makes the kernel's peak resident figure start again from the current one, so that the peak
// read at the end belongs to the measured phase only.
void resetPeakRss()
{
    FILE *file = std::fopen("/proc/self/clear_refs", "w");
    if (!file)
        return;
    std::fputs("5", file);
    std::fclose(file);
}

// CPU time of the process so far, user and system, in seconds.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Records the longest gap between the ticks of a short timer: the longest time the event loop
// was kept from running.
class BlockMeter : public QObject
{
public:
    explicit BlockMeter(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
    {
        m_timer->setTimerType(Qt::PreciseTimer);
        m_timer->setInterval(5);
        connect(m_timer, &QTimer::timeout, this, [this] {
            const qint64 gap = m_sinceTick.nsecsElapsed();
            m_sinceTick.restart();
            m_longestNs = qMax(m_longestNs, gap);
        });
        m_sinceTick.start();
        m_timer->start();
    }

    // The gap still open counts too: the run may end right after a block, before the next tick.
    qint64 longestNs() const { return qMax(m_longestNs, m_sinceTick.nsecsElapsed()); }

private:
    QTimer *m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longestNs = 0;
};

// What the log told us, with the time of each event in nanoseconds since the clock started.
struct Probe
{
    QMutex mutex;
    QElapsedTimer clock;
    qint64 progressLines = 0;
    QString lastProgress;
    QList<qint64> downloadedAt;
    QList<qint64> extractionStartedAt;
    QList<qint64> extractionEndedAt;
    qint64 enabledAt = -1;
    // A delta update: its fetch ("Delta update fetched B bytes in R range requests"), the
    // files it planned, or why it fell back to the whole archive.
    qint64 deltaFetchedAt = -1;
    qint64 deltaBytes = -1;
    int deltaRequests = -1;
    qint64 deltaFiles = -1;
    QString deltaFallback;
    // The process reports and ends at this many "downloaded" lines (0: never).
    int exitAfterDownloads = 0;
    const BlockMeter *meter = nullptr;
    qint64 secondStartedAt = -1;
    qint64 baselineKib = 0;
    double baselineCpu = 0;
    std::function<void()> onEnabled;
    // Mode cut: a retried error is part of the run. A failure line not paired with a retry
    // line (in either order) fails the run.
    bool retriesExpected = false;
    int retries = 0;
    int resumes = 0;
    bool retryUnpaired = false;
    bool failureUnpaired = false;
};

Probe probe;

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// Bytes received according to the last progress line ("Downloaded N bytes out of M").
qint64 bytesReceived()
{
    const QStringList words = probe.lastProgress.split(' ');
    return words.size() > 1 ? words.at(1).toLongLong() : -1;
}

// Whether the last progress line ("Downloaded N bytes out of M") says half of M arrived; before
// the second download starts, every such line is the first download's.
bool firstHalfDownloaded()
{
    QMutexLocker locker(&probe.mutex);
    const QStringList words = probe.lastProgress.split(' ');
    return words.size() > 5 && words.at(5).toLongLong() > 0
           && 2 * words.at(1).toLongLong() >= words.at(5).toLongLong();
}

// A failed or retried download, a failed extraction or commit check: the run is not a figure.
void fail(const QString &line)
{
    std::printf("ok=0 failure=\"%s\"\n", qPrintable(line.simplified()));
    std::fflush(stdout);
    _exit(1);
}

void printMemory()
{
    const qint64 peak = statusKib("VmHWM");
    std::printf(" cpu_seconds=%.3f baseline_kib=%lld peak_kib=%lld growth_kib=%lld",
                cpuSeconds() - probe.baselineCpu, (long long)probe.baselineKib, (long long)peak,
                (long long)(peak - probe.baselineKib));
}

// Ends the process with the figures of the downloads so far; the extraction that the completion
// starts next is not part of them.
void reportDownloads(qint64 now)
{
    std::printf("ok=1 seconds=%.4f bytes=%lld progress_lines=%lld", ms(now) / 1000.0,
                (long long)bytesReceived(), (long long)probe.progressLines);
    if (probe.retriesExpected)
        std::printf(" retries=%d resumes=%d", probe.retries, probe.resumes);
    if (probe.meter) {
        // Whether the second download was under way for the whole of the first extraction.
        const bool overlapped = !probe.extractionEndedAt.isEmpty() && probe.secondStartedAt >= 0
                                && probe.secondStartedAt < probe.extractionStartedAt.first()
                                && now > probe.extractionEndedAt.first();
        const qint64 extractionNs = probe.extractionEndedAt.isEmpty()
                                        ? -1
                                        : probe.extractionEndedAt.first()
                                              - probe.extractionStartedAt.first();
        std::printf(" longest_block_ms=%.1f extraction_seconds=%.4f overlapped=%d",
                    ms(probe.meter->longestNs()), ms(extractionNs) / 1000.0, overlapped ? 1 : 0);
    }
    printMemory();
    std::printf("\n");
    std::fflush(stdout);
    _exit(0);
}

const bool echoLog = qEnvironmentVariableIntValue("VELTRO_BENCH_LOG") == 1;

void onMessage(QtMsgType, const QMessageLogContext &, const QString &line)
{
    const qint64 now = probe.clock.nsecsElapsed();
    if (echoLog)
        std::fprintf(stderr, "%.3f %s\n", ms(now) / 1000.0, qPrintable(line));
    QMutexLocker locker(&probe.mutex);
    if (line.startsWith(QLatin1String("Downloaded "))) {
        ++probe.progressLines;
        probe.lastProgress = line;
    } else if (line == QLatin1String("ZIP file downloaded successfully!")) {
        probe.downloadedAt.append(now);
        if (probe.downloadedAt.size() == probe.exitAfterDownloads)
            reportDownloads(now);
    } else if (line.startsWith(QLatin1String("Extracting to AppData/Local at:"))) {
        probe.extractionStartedAt.append(now);
    } else if (line.startsWith(QLatin1String("Delta update fetched "))) {
        const QStringList words = line.split(' ');
        probe.deltaFetchedAt = now;
        probe.deltaBytes = words.value(3).toLongLong();
        probe.deltaRequests = words.value(6).toInt();
    } else if (line.startsWith(QLatin1String("Delta update: "))) {
        probe.deltaFiles = line.split(' ').value(2).toLongLong();
    } else if (line.startsWith(QLatin1String("Delta update not possible"))) {
        probe.deltaFallback = line.section(QLatin1String(": "), 1);
    } else if (line == QLatin1String("ZIP extraction completed!")) {
        probe.extractionEndedAt.append(now);
    } else if (probe.retriesExpected && line == QLatin1String("Retrying download...")) {
        ++probe.retries;
        probe.retryUnpaired = !std::exchange(probe.failureUnpaired, false);
    } else if (probe.retriesExpected && line.startsWith(QLatin1String("Failed to download ZIP"))) {
        if (std::exchange(probe.retryUnpaired, false))
            return;
        probe.failureUnpaired = true;
        QTimer::singleShot(1000, qApp, [line] {
            if (probe.failureUnpaired)
                fail(line);
        });
    } else if (probe.retriesExpected && line.startsWith(QLatin1String("Resuming download"))) {
        ++probe.resumes;
    } else if (probe.retriesExpected && line.startsWith(QLatin1String("Download error:"))) {
        // Its retry line follows, or the failure line fails the run.
    } else if (line.startsWith(QLatin1String("Download error:"))) {
        fail(line);
    } else if (line.startsWith(QLatin1String("Failed to download ZIP"))
               || line.startsWith(QLatin1String("Failed to extract"))
               || line.startsWith(QLatin1String("Failed to open zip file"))
               || line.startsWith(QLatin1String("Failed to write"))
               || line.startsWith(QLatin1String("Failed to open file for writing"))
               || line.startsWith(QLatin1String("Failed to fetch commit hash"))
               || line.startsWith(QLatin1String("No commits found"))) {
        fail(line);
    } else if (line == enabledLine) {
        probe.enabledAt = now;
        if (probe.onEnabled)
            probe.onEnabled();
    }
}

Repo makeRepo(const QString &name, const QString &url)
{
    Repo repo;
    repo.name = name;
    repo.dir = name;
    repo.download = url;
    return repo;
}

bool allButtonsEnabled(const QWidget *window)
{
    const QList<QPushButton *> buttons = window->findChildren<QPushButton *>();
    if (buttons.isEmpty())
        return false;
    for (const QPushButton *button : buttons) {
        if (!button->isEnabled())
            return false;
    }
    return true;
}

QString hashFileText(const QString &name)
{
    QFile file(name + "_hash.txt");
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// The figures of an update that ran to the enabled buttons, on one line.
bool printUpdate(const QWidget *window, const QStringList &names, const BlockMeter *meter)
{
    bool ok = allButtonsEnabled(window) && probe.extractionEndedAt.size() == names.size();
    for (const QString &name : names) {
        if (hashFileText(name) != expectedCommit() || QFile::exists(name + ".zip")
            || QFile::exists(name + ".zip.pieces"))
            ok = false;
    }
    // The archive's download, or a delta update's fetch.
    const qint64 fetchedAt = probe.downloadedAt.isEmpty() ? probe.deltaFetchedAt
                                                          : probe.downloadedAt.first();
    qint64 extractionNs = 0;
    for (qsizetype i = 0; i < probe.extractionEndedAt.size(); ++i)
        extractionNs += probe.extractionEndedAt.at(i) - probe.extractionStartedAt.value(i);
    std::printf("ok=%d seconds=%.4f download_seconds=%.4f extraction_seconds=%.4f"
                " longest_block_ms=%.1f progress_lines=%lld",
                ok ? 1 : 0, ms(probe.enabledAt) / 1000.0,
                fetchedAt < 0 ? -1.0 : ms(fetchedAt) / 1000.0, ms(extractionNs) / 1000.0,
                ms(meter->longestNs()), (long long)probe.progressLines);
    std::printf(" delta=%d delta_files=%lld delta_bytes=%lld delta_requests=%d",
                probe.deltaFetchedAt >= 0 ? 1 : 0, (long long)probe.deltaFiles,
                (long long)probe.deltaBytes, probe.deltaRequests);
    printMemory();
    // Last, as it holds spaces.
    if (!probe.deltaFallback.isEmpty())
        std::printf(" fallback=%s", qPrintable(probe.deltaFallback.simplified()));
    std::printf("\n");
    std::fflush(stdout);
    return ok;
}

// Replaces the archive GET's read buffer bound for a sweep, through the hook that the launcher
// calls right after it has set its own bound.
void overrideReadBound(qint64 bound, bool atFirstRead)
{
    WatchedRequest::setBoundedGetHook([bound, atFirstRead](QNetworkReply *reply) {
        std::fprintf(stderr, "read buffer bound %lld instead of %lld%s\n", (long long)bound,
                     (long long)reply->readBufferSize(), atFirstRead ? ", at the first read" : "");
        if (!atFirstRead) {
            reply->setReadBufferSize(bound);
            return;
        }
        // Without a bound until then.
        reply->setReadBufferSize(0);
        auto done = std::make_shared<bool>(false);
        // Connected before the launcher's reader.
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, done, bound] {
            if (!std::exchange(*done, true))
                reply->setReadBufferSize(bound);
        });
    });
}

int usage()
{
    std::fprintf(stderr, "usage: veltro_sync_bench [--ca FILE] download URL\n"
                         "       veltro_sync_bench [--ca FILE] cut URL\n"
                         "       veltro_sync_bench [--ca FILE] update MANIFEST_URL\n"
                         "       veltro_sync_bench [--ca FILE] pressure URL_A URL_B\n");
    return 64;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QStringList args = app.arguments().mid(1);
    QString caFile;
    if (args.size() >= 2 && args.first() == "--ca") {
        caFile = args.at(1);
        args = args.mid(2);
    }
    if (args.isEmpty())
        return usage();
    const QString mode = args.takeFirst();
    if ((mode == "download" || mode == "cut" || mode == "update") && args.size() != 1)
        return usage();
    if (mode == "pressure" && args.size() != 2)
        return usage();
    if (mode != "download" && mode != "cut" && mode != "update" && mode != "pressure")
        return usage();
    QByteArray authorities;
    if (!caFile.isEmpty()) {
        QFile pem(caFile);
        if (!pem.open(QIODevice::ReadOnly))
            return 1;
        authorities = pem.readAll();
    }
    if (!trustExtraCertificateAuthorities(authorities))
        return 1;

    QTimer::singleShot(watchdogMs, &app, [] {
        std::printf("ok=0 failure=\"watchdog: no result after %d s\"\n", watchdogMs / 1000);
        std::fflush(stdout);
        _exit(2);
    });

    qInstallMessageHandler(onMessage);
    if (qEnvironmentVariableIsSet("VELTRO_BENCH_READ_BOUND")) {
        overrideReadBound(qEnvironmentVariable("VELTRO_BENCH_READ_BOUND").toLongLong(),
                          qEnvironmentVariable("VELTRO_BENCH_BOUND_AT")
                              == QLatin1String("first-read"));
    }

    // The window (and with it the manager) outlives the event loop and goes before the
    // application object.
    std::unique_ptr<QWidget> window;
    BlockMeter *meter = nullptr;
    QStringList names;

    if (mode == "download" || mode == "cut") {
        probe.retriesExpected = mode == "cut";
        names = QStringList{"bench"};
        window = std::make_unique<HostWindow>(names);
        window->show();
        RepoManager *manager = static_cast<HostWindow *>(window.get())->manager();
        QCoreApplication::processEvents();
        probe.exitAfterDownloads = 1;
        probe.baselineKib = statusKib("VmRSS");
        probe.baselineCpu = cpuSeconds();
        resetPeakRss();
        probe.clock.start();
        manager->downloadZip(makeRepo(names.first(), args.first()), commitId);
    } else if (mode == "update") {
        names = QStringList{"bench"};
        meter = new BlockMeter(&app);
        probe.onEnabled = [&] {
            const qsizetype fetched = probe.downloadedAt.size() + (probe.deltaFetchedAt >= 0);
            if (fetched < names.size())
                return;
            QTimer::singleShot(0, &app,
                               [&] { app.exit(printUpdate(window.get(), names, meter) ? 0 : 1); });
        };
        probe.baselineKib = statusKib("VmRSS");
        probe.baselineCpu = cpuSeconds();
        resetPeakRss();
        probe.clock.start();
        window = std::make_unique<MainWindow>(args.first());
        window->show();
    } else {
        names = QStringList{"bench_a", "bench_b"};
        window = std::make_unique<HostWindow>(names);
        window->show();
        RepoManager *manager = static_cast<HostWindow *>(window.get())->manager();
        meter = new BlockMeter(&app);
        probe.meter = meter;
        // B's extraction would add nothing: the figures are taken when B's download ends.
        probe.exitAfterDownloads = 2;
        const Repo second = makeRepo(names.at(1), args.at(1));
        auto *starter = new QTimer(&app);
        QObject::connect(starter, &QTimer::timeout, manager, [=] {
            if (firstHalfDownloaded()) {
                starter->stop();
                probe.secondStartedAt = probe.clock.nsecsElapsed();
                manager->downloadZip(second, commitId);
            }
        });
        QCoreApplication::processEvents();
        probe.baselineKib = statusKib("VmRSS");
        probe.baselineCpu = cpuSeconds();
        resetPeakRss();
        probe.clock.start();
        manager->downloadZip(makeRepo(names.first(), args.first()), commitId);
        starter->start(10);
    }

    const int status = app.exec();
    qInstallMessageHandler(nullptr);
    window.reset();
    return status;
}
