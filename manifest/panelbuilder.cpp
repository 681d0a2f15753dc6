#include "manifest/repomanager.h"

#include "app/borderedlabel.h"
#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "launch/buttonpanel.h"
#include "launch/columnstatus.h"
#include "launch/startprogram.h"
#include "manifest/repo.h"

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
#include <QStringList>
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

// Elements of a JSON array as text; non-strings read as empty text but still count.
QStringList textList(const QJsonValue &value)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array)
        list.append(element.toString());
    return list;
}

// A manifest may hold fewer captions than programs; the missing ones read as empty.
QString elementOrEmpty(const QStringList &list, qsizetype i)
{
    return i < list.size() ? list.at(i) : QString();
}

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
// and its hidden progress bar. The widgets end up as children of the column.
QWidget *buildColumn(RepoManager *manager, const QJsonObject &entry, QWidget *panel)
{
    const QString name = entry.value("name").toString();
    const QString icon = entry.value("icon").toString();
    const QStringList exes = textList(entry.value("exes"));
    const QStringList tooltips = textList(entry.value("tooltip"));

    auto *column = new QWidget(panel);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setAlignment(Qt::AlignCenter);

    columnLayout->addWidget(makeCaption(name, captionStyle, panel), 0, Qt::AlignCenter);

    const QString picture = QString(":/assets/%1.png").arg(icon);
    QPushButton *first = makeProgramButton(elementOrEmpty(tooltips, 0),
                                           QString(largeButtonStyle).arg(picture));
    QObject::connect(
        first, &QPushButton::clicked, first,
        [manager, exes, entry] {
            // An entry without programs still shows its button; there is nothing to start.
            if (!exes.isEmpty())
                startProgram(manager, exes.at(0), entry);
        },
        Qt::DirectConnection);
    columnLayout->addWidget(first);
    columnLayout->addWidget(makeCaption(elementOrEmpty(tooltips, 0), buttonCaptionStyle, panel), 0,
                            Qt::AlignCenter);

    for (int i = 1; i < exes.size(); ++i) {
        QPushButton *button = makeProgramButton(elementOrEmpty(tooltips, i),
                                                QString(smallButtonStyle).arg(picture));
        QObject::connect(
            button, &QPushButton::clicked, button,
            [name, manager, exes, i, entry] {
                qDebug() << "Botão do repositório" << name << "foi clicado!";
                startProgram(manager, exes.at(i), entry);
            },
            Qt::DirectConnection);
        columnLayout->addWidget(button);
        columnLayout->addWidget(makeCaption(elementOrEmpty(tooltips, i), buttonCaptionStyle, panel),
                                0, Qt::AlignCenter);
    }

    auto *bar = new QProgressBar();
    bar->setFixedSize(150, 10);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setStyleSheet(progressBarStyle);
    bar->setObjectName(name);
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
    const Repo repo = repoFromEntry(entry);
    QObject::connect(
        retry, &QToolButton::clicked, retry,
        [manager, repo] {
            ColumnStatus::findQuietly(manager, repo.name).retryStarted();
            manager->fetchLatestCommitHash(repo);
        },
        Qt::DirectConnection);
    columnLayout->addWidget(retry, 0, Qt::AlignCenter);
    return column;
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
        const QJsonObject entry = element.toObject();
        panelLayout->addWidget(buildColumn(this, entry, panel));
        fetchLatestCommitHash(repoFromEntry(entry));
    }

    panel->show();
}
