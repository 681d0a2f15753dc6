// The libFuzzer targets, one per FUZZ_* definition, in the tests' sandbox with quiet logging:
//  manifest: manifest bytes to panel, as the manifest reply handler does it;
//  commits: bytes served as a repository's commit list, from a data: address (no server);
//  extract: bytes as a downloaded archive, extracted into an empty install root.
// LLVMFuzzerInitialize runs before libFuzzer reads the corpus: each target then writes its seeds
// into $VELTRO_FUZZ_SEEDS when that is set.

#include "extract/installroot.h"
#include "extract/zipextractor.h"
#include "hostwindow.h"
#include "manifest/repomanager.h"
#include "testenvironment.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDialog>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include <sys/resource.h>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

void start(const QList<QByteArray> &seeds)
{
    const QString folder = qEnvironmentVariable("VELTRO_FUZZ_SEEDS");
    for (int i = 0; !folder.isEmpty() && i < seeds.size(); ++i) {
        QFile seed(QString("%1/seed-%2").arg(folder).arg(i));
        check(QDir().mkpath(folder) && seed.open(QIODevice::WriteOnly)
              && seed.write(seeds.at(i)) >= 0);
    }
    static TestEnvironment sandbox; // removed at exit; a crash leaves it for the post-mortem
    // One line per step would dominate the run time.
    if (qEnvironmentVariableIsEmpty("VELTRO_FUZZ_VERBOSE"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
            check(type != QtFatalMsg);
        });
    static int argc = 1; // Qt keeps a reference; libFuzzer's own arguments are not Qt's business
    static char name[] = "veltro-fuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the end: tearing it down races with Qt's globals
}

// Posted deletions and queued calls up to now.
void drainEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every path below folder (the sandbox), outside the install root.
QStringList listing(const QString &folder)
{
    QStringList paths;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!(path + "/").startsWith(installRoot() + "/"))
            paths.append(path);
    }
    paths.sort();
    return paths;
}

} // namespace

#if defined(FUZZ_MANIFEST)
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QByteArray entry = R"({"name": "client", "icon": "clienticon", "exes": ["bin/c.exe", "x"],
        "tooltip": ["Play"], "api": "", "dir": "client", "exe": "bin/c.exe", "args": "-a  b"})";
    start({R"({"updater_version": "0.2", "background": "", "repos": [)" + entry
               + R"(, {"name": "../up", "exes": [1, null]}, 7]})",
           R"({"updater_version": "0.1", "repos": {}})"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonObject manifest =
        QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)))
            .object();
    {
        HostWindow window;
        // The Update Required box is modal; dismiss it as soon as it is up, without pressing OK.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, &closer, [] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                dialog->done(0);
        });
        closer.start(0);
        window.manager()->buildPanel(manifest);
        closer.stop();
        // Whatever the manifest held: one bar per entry at most, none shown, no button enabled.
        const QList<QProgressBar *> bars = window.panel()->findChildren<QProgressBar *>();
        const QList<QPushButton *> buttons = window.panel()->findChildren<QPushButton *>();
        if (manifest.value("updater_version").toString() == QLatin1String("0.2"))
            check(bars.size() == manifest.value("repos").toArray().size());
        else
            check(bars.isEmpty() && buttons.isEmpty());
        for (const QProgressBar *bar : bars)
            check(bar->isHidden() && bar->value() == 0);
        for (const QPushButton *button : buttons)
            check(!button->isEnabled());
    }
    drainEvents();
    return 0;
}
#elif defined(FUZZ_COMMITS)
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    start({R"([{"id": "4f1c2b9e0d6a7c8b5e3f2a1d0c9b8a7f6e5d4c3b", "title": "x"}, {}])",
           R"({"message": "404 Project Not Found"})"});
    return 0;
}

// The archive address is empty: a download, when the ids differ, fails at once, unretried.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        HostWindow window({"fuzz"});
        Repo repo;
        repo.name = repo.dir = "fuzz";
        repo.api =
            "data:application/json;base64,"
            + QString::fromLatin1(
                QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).toBase64());
        window.manager()->fetchLatestCommitHash(repo);
        // Every reply (commit list, then HEAD and GET) finishes on its own; one still open after
        // many turns is a hang.
        const auto *network = window.manager()->findChild<QNetworkAccessManager *>();
        for (int turns = 0; !network->findChildren<QNetworkReply *>().isEmpty(); ++turns) {
            check(turns < 1000);
            drainEvents();
        }
    }
    drainEvents();
    return 0;
}
#elif defined(FUZZ_EXTRACT)
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    start({ZipBuilder()
               .add({"client/bin/", {}, false, 0})
               .addFile("client/bin/client.exe", QByteArray(3000, 'x'), 0100755)
               .addStoredFile("client/.gitattributes", "* text=auto\n")
               .add({"client/link", "../outside", false, 0120777})
               .addFile("client/same", "first")
               .addFile("client/Same", {})
               .bytes(),
           ZipBuilder().addFile("../up\\C:/CON", "x").addFile(QByteArray(300, 'n'), "n").bytes()});
    // Files may not grow past 16 MiB (a full disk, as far as the extraction can tell): a bomb's
    // write then fails with EFBIG instead of a signal.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16 << 20, 16 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    QDir().mkpath(installRoot());
    return 0;
}

// Nothing may appear outside the install root; a failure leaves it empty, as it was.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile file("fuzz.zip");
    check(file.open(QIODevice::WriteOnly)
          && file.write(reinterpret_cast<const char *>(data), qint64(size)) >= 0);
    file.close();
    static const QString sandbox = TestEnvironment::instance()->root();
    static const QStringList before = listing(sandbox);
    const bool installed = ZipExtractor::extractZip("fuzz.zip", [](qint64, qint64) {}).ok();
    const QStringList left = QDir(installRoot())
                                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                            | QDir::NoDotAndDotDot);
    check(listing(sandbox) == before && (installed || left.isEmpty())
          && !left.contains(".veltro-update"));
    QDir(installRoot()).removeRecursively();
    QDir().mkpath(installRoot());
    return 0;
}
#endif
