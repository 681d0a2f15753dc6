#pragma once

#include "launch/buttonpanel.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QMetaObject>
#include <QSizePolicy>
#include <QWidget>

QT_BEGIN_NAMESPACE

// The window's form, written the way the form compiler would write it. It owns nothing: both
// widgets belong to the window through their Qt parents.
class Ui_MainWindow
{
public:
    QWidget *centralwidget;
    QWidget *buttonPanel;

    void setupUi(QMainWindow *MainWindow)
    {
        if (MainWindow->objectName().isEmpty())
            MainWindow->setObjectName("MainWindow");
        MainWindow->resize(800, 600);
        QSizePolicy sizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        sizePolicy.setHorizontalStretch(0);
        sizePolicy.setVerticalStretch(0);
        sizePolicy.setHeightForWidth(MainWindow->sizePolicy().hasHeightForWidth());
        MainWindow->setSizePolicy(sizePolicy);
        MainWindow->setMinimumSize(QSize(800, 600));
        MainWindow->setMaximumSize(QSize(800, 600));
        centralwidget = new QWidget(MainWindow);
        centralwidget->setObjectName("centralwidget");
        buttonPanel = new QWidget(centralwidget);
        buttonPanel->setObjectName(buttonPanelName);
        buttonPanel->setGeometry(QRect(0, 170, 800, 300));
        // clang-format off
        buttonPanel->setStyleSheet(QString::fromUtf8(
            "\n"
            "                QWidget#buttonPanel {\n"
            "                    background-color: rgba(128, 128, 128, 180);  // Cinza com 70% de opacidade\n"
            "                    border: 1;\n"
            "                }\n"
            "            "));
        // clang-format on
        MainWindow->setCentralWidget(centralwidget);

        retranslateUi(MainWindow);

        QMetaObject::connectSlotsByName(MainWindow);
    }

    void retranslateUi(QMainWindow *MainWindow)
    {
        MainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "Veltro", nullptr));
    }
};

namespace Ui {
class MainWindow : public Ui_MainWindow
{
};
} // namespace Ui

QT_END_NAMESPACE
