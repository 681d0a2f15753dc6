#include "manifest/repomanager.h"

#include "app/borderedlabel.h"
#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "extract/installroot.h"
#include "launch/buttonpanel.h"
#include "launch/columnstatus.h"
#include "manifest/repo.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

namespace {

constexpr char ownVersion[] = "0.2";

constexpr char captionStyle[] = "font-size: 18px; font-family: 'Arial'; color: #FFD700;";
constexpr char buttonCaptionStyle[] = "font-size: 12px; font-family: 'Arial'; color: #FFD700;";
constexpr char largeButtonStyle[] =
    "QPushButton {background-color: transparent;border: none;background-image: url(%1);"
    "background-repeat: no-repeat;background-position: center;background-size: contain;"
    "height: 100px;width: 200px;color: white;font-size: 16px;}";
constexpr char smallButtonStyle[] =
    "QPushButton {background-color: transparent;border: none;background-image: url(%1);"
    "background-repeat: no-repeat;background-position: center;background-size: contain;"
    "height: 75px;width: 175px;color: white;font-size: 16px;}";
constexpr char progressBarStyle[] =
    "QProgressBar {margin: 10px;height: 10px;border: 1px solid black;border-radius: 5px;"
    "background-color: #CCCCCC;}QProgressBar::chunk {background-color: #00CC66;}";
constexpr char statusLineStyle[] = "font-size: 12px; font-family: 'Arial'; color: #FFFFFF;";
constexpr char retryStyle[] =
    "QToolButton {color: #FFD700;background-color: rgba(51, 51, 51, 200);border: 1px solid "
    "#FFD700;border-radius: 5px;padding: 3px 14px;font: bold 12px 'Arial';}QToolButton:hover "
    "{background-color: rgba(85, 85, 85, 220);}QToolButton:disabled {color: #999999;"
    "border-color: #999999;}";
constexpr char panelStyle[] =
    "QWidget#buttonPanel {background-image: url(:/assets/error-box-bg.png);border: none;}";
constexpr char updateBoxStyle[] =
    "QMessageBox {background-color: rgba(51, 51, 51, 220);border: 2px solid rgba(255, 255, 255, "
    "150);border-radius: 15px;padding: 10px;}QLabel {color: #eaeaea;font-size: 16px;font-family: "
    "'Segoe UI', 'Arial';}QPushButton {background-color: rgba(68, 68, 68, 200);color: "
    "#eaeaea;border: 1px solid rgba(255, 255, 255, 150);border-radius: 10px;padding: 8px "
    "20px;font-size: 14px;}QPushButton:hover {background-color: rgba(85, 85, 85, 220);}";

BorderedLabel *makeCaption(const QString &text, const char *style, QWidget *parent)
{
    auto *label = new BorderedLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(style);
    return label;
}

QPushButton *makeProgramButton(const QString &toolTip, const QString &style)
{
    auto *button = new QPushButton();
    button->setToolTip(toolTip);
    button->setFixedSize(200, 100);
    button->setStyleSheet(style);
    button->setEnabled(false);
    return button;
}

void showUpdateRequired(const QString &requiredVersion)
{
    QMessageBox box;
    box.setWindowTitle("Update Required");
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setWindowIcon(QIcon());
    const QString message =
        QString("A new version of the updater is available: %1.<br>Please update before "
                "proceeding.<br><br>")
            .arg(requiredVersion)
        + QString("<a href=\"%1\" style=\"color: white; text-decoration: none;\">Veltro Staff</a>")
              .arg(operatorWebSiteUrl().toHtmlEscaped());
    // Owned by the box once it sits in the box's layout.
    auto *label = new QLabel(message);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(true);
    label->setAlignment(Qt::AlignCenter);
    box.setStyleSheet(updateBoxStyle);
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addWidget(label, 0, 1);
    else
        label->setParent(&box);
    QPushButton *ok = box.addButton(QMessageBox::Ok);
    QObject::connect(ok, &QPushButton::clicked, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    box.exec();
}

// One repository's column: its caption, one program button per program, each with its caption,
// its hidden progress bar, and the status line and Retry under it. The widgets end up as
// children of the column.
struct Column
{
    QWidget *widget;
    QLabel *caption;
    QProgressBar *bar;
    QLabel *statusLine;
    QToolButton *retry;
};

// Starts the repository's program i from its folder under the install root.
void connectProgram(QPushButton *button, RepoManager *manager, const Repo &repo, int i)
{
    QObject::connect(
        button, &QPushButton::clicked, button,
        [manager, repo, i] {
            // An entry without programs still shows its button; there is nothing to start.
            if (i >= repo.exes.size())
                return;
            if (i > 0)
                qDebug() << "Botão do repositório" << repo.name << "foi clicado!";
            manager->launchExecutable(repo.exes.at(i), repo.args, installRoot() + "/" + repo.dir);
        },
        Qt::DirectConnection);
}

Column buildColumn(RepoManager *manager, const Repo &repo, QWidget *panel)
{
    auto *column = new QWidget(panel);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setAlignment(Qt::AlignCenter);

    BorderedLabel *caption = makeCaption(repo.name, captionStyle, panel);
    columnLayout->addWidget(caption, 0, Qt::AlignCenter);

    const QString picture = QString(":/assets/%1.png").arg(repo.icon);
    for (int i = 0; i < qMax<qsizetype>(repo.exes.size(), 1); ++i) {
        QPushButton *button =
            makeProgramButton(repo.tooltip(i),
                              QString(i == 0 ? largeButtonStyle : smallButtonStyle).arg(picture));
        connectProgram(button, manager, repo, i);
        columnLayout->addWidget(button);
        columnLayout->addWidget(makeCaption(repo.tooltip(i), buttonCaptionStyle, panel), 0,
                                Qt::AlignCenter);
    }

    auto *bar = new QProgressBar();
    bar->setFixedSize(150, 10);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setStyleSheet(progressBarStyle);
    bar->setObjectName(repo.name);
    bar->setVisible(false);
    columnLayout->addWidget(bar, 0, Qt::AlignCenter);

    // Under the bar, what the update is doing or why it failed; empty and hidden until then.
    BorderedLabel *status = makeCaption(QString(), statusLineStyle, panel);
    status->setObjectName(statusLineName);
    status->setWordWrap(true);
    status->setFixedWidth(200);
    status->setVisible(false);
    columnLayout->addWidget(status, 0, Qt::AlignCenter);

    // Not a QPushButton: the gating switches every push button of the panel together, and Retry
    // must stay usable while a failed download's bar holds the program buttons back.
    auto *retry = new QToolButton();
    retry->setText("Retry");
    retry->setObjectName(retryButtonName);
    retry->setStyleSheet(retryStyle);
    retry->setCursor(Qt::PointingHandCursor);
    retry->setVisible(false);
    columnLayout->addWidget(retry, 0, Qt::AlignCenter);
    return {column, caption, bar, status, retry};
}

} // namespace

void RepoManager::buildPanel(const QJsonObject &manifest)
{
    const QString updaterVersion = manifest.value("updater_version").toString();
    const QString background = manifest.value("background").toString();

    if (!background.isEmpty()) {
        if (auto *window = qobject_cast<MainWindow *>(parent()))
            window->setBackground(background);
    }

    if (updaterVersion != ownVersion) {
        showUpdateRequired(updaterVersion);
        return;
    }

    QWidget *panel = findButtonPanel(this);
    if (!panel) {
        qDebug() << "Panel de botões não encontrado!";
        return;
    }

    panel->setStyleSheet(panelStyle);
    auto *panelLayout = new QHBoxLayout(panel);
    panelLayout->setAlignment(Qt::AlignCenter);

    const QJsonArray repos = manifest.value("repos").toArray();
    for (const QJsonValue &element : repos) {
        const Repo repo = repoFromEntry(element.toObject());
        const Column column = buildColumn(this, repo, panel);
        panelLayout->addWidget(column.widget);
        ColumnStatus status(column.bar, column.statusLine, column.retry);
        if (!addColumn(repo, status)) {
            qDebug() << "Not synchronising repository listed twice:" << repo.name;
            status.refused(QStringLiteral("Not updated: a repository of the same name is listed "
                                          "before this one."));
            continue;
        }
        connect(column.retry, &QToolButton::clicked, this,
                [this, name = repo.name] { retryNow(name); });
        // On the caption's context menu: every installed file read and compared.
        auto *verify = new QAction(QStringLiteral("Verify files"), column.caption);
        column.caption->addAction(verify);
        column.caption->setContextMenuPolicy(Qt::ActionsContextMenu);
        connect(verify, &QAction::triggered, this, [this, name = repo.name] { verifyFiles(name); });
        fetchLatestCommitHash(repo);
    }

    panel->show();
}
