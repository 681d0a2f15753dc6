// Manifest bytes -> root object -> panel, as the manifest reply handler does it. Commit checks are
// sent but never answered: the window goes before the event loop would start them.

#include "fuzzsupport.h"

#include "manifest/repomanager.h"

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QJsonObject manifest = QJsonDocument::fromJson(bytes).object();

    {
        FuzzSupport::Window window;
        // The Update Required box is modal; dismiss it as soon as it is up, without pressing OK.
        QTimer closer;
        closer.setInterval(0);
        QObject::connect(&closer, &QTimer::timeout, &closer, [] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                dialog->done(0);
        });
        closer.start();
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
    FuzzSupport::drainEvents();
    return 0;
}
