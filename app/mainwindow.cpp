#include "app/mainwindow.h"

#include "app/buildconfig.h"
#include "app/mainwindowform.h"
#include "manifest/repomanager.h"
#include "sync/watchedrequest.h"

#include <QBrush>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPalette>
#include <QPixmap>
#include <QScopeGuard>
#include <QUrl>

MainWindow::MainWindow(QWidget *parent) : MainWindow(builtInManifestUrl(), parent)
{
}

MainWindow::MainWindow(const QString &manifestUrl, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), backgroundUrl()
{
    ui->setupUi(this);
    auto *repoManager = new RepoManager(this);
    repoManager->downloadJson(manifestUrl);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::setBackground(QString url)
{
    backgroundUrl = url;
    auto *manager = new QNetworkAccessManager(this);
    QNetworkReply *reply =
        WatchedRequest::get(manager, QNetworkRequest(QUrl(backgroundUrl, QUrl::TolerantMode)));
    connect(
        reply, &QNetworkReply::finished, reply,
        [this, reply] {
            const auto release = qScopeGuard([reply] { reply->deleteLater(); });
            if (WatchedRequest::error(reply) != QNetworkReply::NoError) {
                qDebug() << "Erro ao baixar a imagem:" << WatchedRequest::errorString(reply);
            } else {
                QPixmap pixmap;
                if (!pixmap.loadFromData(reply->readAll())) {
                    qDebug() << "Falha ao carregar a imagem!";
                } else {
                    pixmap = pixmap.scaled(size(), Qt::KeepAspectRatioByExpanding,
                                           Qt::SmoothTransformation);
                    QPalette palette;
                    palette.setBrush(QPalette::All, QPalette::Window, QBrush(pixmap));
                    setPalette(palette);
                    qDebug() << "Imagem de fundo aplicada com sucesso!";
                }
            }
        },
        Qt::DirectConnection);
}
