#pragma once

#include "testenvironment.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdlib>

inline void check(bool condition)
{
    if (!condition)
        abort();
}

// What every target does before libFuzzer reads the corpus: writes its seeds into
// $VELTRO_FUZZ_SEEDS when that is set, enters the tests' sandbox, quiets the log (one line per
// step would dominate the run time) and makes the application, which lives until the end:
// tearing it down races with Qt's globals.
template<typename Application>
void startFuzzing(const QList<QByteArray> &seeds)
{
    const QString folder = qEnvironmentVariable("VELTRO_FUZZ_SEEDS");
    for (int i = 0; !folder.isEmpty() && i < seeds.size(); ++i) {
        QFile seed(QString("%1/seed-%2").arg(folder).arg(i));
        check(QDir().mkpath(folder) && seed.open(QIODevice::WriteOnly)
              && seed.write(seeds.at(i)) >= 0);
    }
    static TestEnvironment sandbox; // removed at exit; a crash leaves it for the post-mortem
    if (qEnvironmentVariableIsEmpty("VELTRO_FUZZ_VERBOSE"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
            check(type != QtFatalMsg);
        });
    static int argc = 1; // Qt keeps a reference; libFuzzer's own arguments are not Qt's business
    static char name[] = "veltro-fuzz";
    static char *argv[] = {name, nullptr};
    new Application(argc, argv);
}
