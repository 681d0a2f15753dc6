#pragma once

#include <QMainWindow>
#include <QString>

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // The same window fed from another manifest address; for tests and tools, never the program.
    explicit MainWindow(const QString &manifestUrl, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Downloads the picture at url and makes it the window background, covering the window.
    void setBackground(QString url);

private:
    Ui::MainWindow *ui;
    QString backgroundUrl;
};
