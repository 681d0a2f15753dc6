#include "app/buildconfig.h"
#include "app/launcherlock.h"
#include "app/mainwindow.h"
#include "app/tlstrust.h"
#include "extract/installroot.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setStyleSheet("QToolTip {color: white;background-color: #333333;border: 1px solid white;"
                      "border-radius: 5px;padding: 5px;font: bold 14px 'Arial';}");
    // The lock lives in the folder that the launcher installs into.
    const auto lock = takeLauncherLock(installRoot());
    if (!lock) {
        reportLauncherRunning();
        return 0;
    }
    trustExtraCertificateAuthorities(extraCertificateAuthorities());
    MainWindow window;
    window.setWindowIcon(QIcon("clienticon.png"));
    window.show();
    return app.exec();
}
