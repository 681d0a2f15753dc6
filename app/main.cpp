#include "app/buildconfig.h"
#include "app/launcherlock.h"
#include "app/logfile.h"
#include "app/mainwindow.h"
#include "app/tlstrust.h"
#include "extract/installroot.h"
#include "extract/stagedinstall.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setStyleSheet("QToolTip {color: white;background-color: #333333;border: 1px solid white;"
                      "border-radius: 5px;padding: 5px;font: bold 14px 'Arial';}");
    // The lock and the log live in the folder that the launcher installs into.
    const QString folder = installRoot();
    QString problem;
    const auto lock = takeLauncherLock(folder, &problem);
    if (!lock) {
        if (!problem.isEmpty()) {
            reportFolderUnusable(folder, problem);
            return 1;
        }
        reportLauncherRunning();
        return 0;
    }
    // Only the lock's holder turns the log over, never a second launcher.
    const LogFile log(folder);
    // An update cut short by a kill is finished or put back before any repository is checked;
    // files put aside may be free now.
    StagedInstall::recover(folder);
    trustExtraCertificateAuthorities(extraCertificateAuthorities());
    MainWindow window;
    window.setWindowIcon(QIcon("clienticon.png"));
    window.show();
    return app.exec();
}
