#include "fuzzsupport.h"

#include "testenvironment.h"

#include <QApplication>
#include <QEvent>
#include <QtGlobal>

#include <cstdlib>

namespace {

TestEnvironment *environment = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        fprintf(stderr, "%s\n", qPrintable(message));
        abort();
    }
}

} // namespace

namespace FuzzSupport {

void initialise()
{
    // Removed at exit with its folder; a crash leaves it for the post-mortem.
    static TestEnvironment sandboxed;
    environment = &sandboxed;
    if (qEnvironmentVariableIsEmpty("VELTRO_FUZZ_VERBOSE"))
        qInstallMessageHandler(quietHandler);
    // Qt keeps a reference to argc; libFuzzer's own arguments are not Qt's business.
    static int argc = 1;
    static char name[] = "veltro-fuzz";
    static char *argv[] = {name, nullptr};
    // Lives until the process ends; tearing it down at exit races with Qt's own globals.
    new QApplication(argc, argv);
}

QString sandbox()
{
    return environment->root();
}

void drainEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace FuzzSupport
