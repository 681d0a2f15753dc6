#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "app/tlstrust.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setStyleSheet("QToolTip {color: white;background-color: #333333;border: 1px solid white;"
                      "border-radius: 5px;padding: 5px;font: bold 14px 'Arial';}");
    trustExtraCertificateAuthorities(extraCertificateAuthorities());
    MainWindow window;
    window.setWindowIcon(QIcon("clienticon.png"));
    window.show();
    return app.exec();
}
