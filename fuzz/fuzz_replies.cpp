// Bytes as the manifest, built into a panel, and as the commit list of one repository (served
// through a data: address, so no server). LLVMFuzzerInitialize writes the seeds into
// $VELTRO_FUZZ_SEEDS when that is set.

#include "fuzzstart.h"
#include "hostwindow.h"
#include "manifest/repomanager.h"

#include <QApplication>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdint>

namespace {

// Posted deletions and queued calls up to now.
void drainEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void fuzz(const QByteArray &bytes)
{
    const QJsonObject manifest = QJsonDocument::fromJson(bytes).object();
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
        // Whatever the manifest held: a bar per entry of a known version, none shown, no button on.
        // The commit checks it starts are never answered: the window goes first.
        const QList<QProgressBar *> bars = window.panel()->findChildren<QProgressBar *>();
        const bool known = manifest.value("updater_version").toString() == QLatin1String("0.2");
        check(bars.size() == (known ? manifest.value("repos").toArray().size() : 0));
        for (const QProgressBar *bar : bars)
            check(bar->isHidden() && bar->value() == 0);
        for (const QPushButton *button : window.panel()->findChildren<QPushButton *>())
            check(!button->isEnabled() && known);
    }
    drainEvents();

    // As a commit list. The archive address is empty: a download, when the ids differ, fails at
    // once, unretried. Every reply finishes on its own; one open after many turns is a hang.
    HostWindow column({"fuzz"});
    Repo repo;
    repo.name = repo.dir = "fuzz";
    repo.api = "data:application/json;base64," + QString::fromLatin1(bytes.toBase64());
    column.manager()->fetchLatestCommitHash(repo);
    const auto *network = column.manager()->findChild<QNetworkAccessManager *>();
    for (int turns = 0; !network->findChildren<QNetworkReply *>().isEmpty(); ++turns) {
        check(turns < 1000);
        drainEvents();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QList<QByteArray> seeds = {
        R"({"updater_version": "0.2", "background": "", "repos": [{"name": "client",
        "icon": "clienticon", "exes": ["bin/c.exe", 1], "tooltip": ["Play"], "api": "",
        "dir": "client", "args": "-a  b"}, {"name": "../up", "exes": null}, 7]})",
        R"({"updater_version": "0.1", "repos": {}})",
        R"([{"id": "4f1c2b9e0d6a7c8b5e3f2a1d0c9b8a7f6e5d4c3b", "title": "x"}, {}])"};
    startFuzzing<QApplication>(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    drainEvents();
    return 0;
}
