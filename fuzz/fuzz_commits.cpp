// Bytes served as the commit list of one repository. The reply comes from a data: address, so
// the handler sees the bytes as a finished body without a server or a seam in the launcher. The
// archive address is empty: a download, when the ids differ, fails at once and is not retried.

#include "fuzzsupport.h"

#include "manifest/repomanager.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    {
        FuzzSupport::Window window;
        auto *bar = new QProgressBar(window.panel());
        bar->setObjectName("fuzz");
        bar->setVisible(false);

        Repo repo;
        repo.name = "fuzz";
        repo.dir = "fuzz";
        repo.api = "data:application/json;base64," + QString::fromLatin1(bytes.toBase64());
        window.manager()->fetchLatestCommitHash(repo);

        // Every reply (commit list, then HEAD and GET of a download) finishes on its own; a
        // reply still open after many turns is a hang.
        const auto *network = window.manager()->findChild<QNetworkAccessManager *>();
        int turns = 0;
        while (!network->findChildren<QNetworkReply *>().isEmpty()) {
            if (++turns > 1000)
                abort();
            FuzzSupport::drainEvents();
        }
    }
    FuzzSupport::drainEvents();
    return 0;
}
