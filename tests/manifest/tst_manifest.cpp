#include "app/borderedlabel.h"
#include "app/mainwindow.h"
#include "manifest/repomanager.h"

#include "boxcatcher.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

namespace {

const char largeStyle[] =
    "QPushButton {background-color: transparent;border: none;background-image: "
    "url(:/assets/Moor_icon.png);background-repeat: no-repeat;background-position: "
    "center;background-size: contain;height: 100px;width: 200px;color: white;font-size: 16px;}";
const char smallStyle[] =
    "QPushButton {background-color: transparent;border: none;background-image: "
    "url(:/assets/Moor_icon.png);background-repeat: no-repeat;background-position: "
    "center;background-size: contain;height: 75px;width: 175px;color: white;font-size: 16px;}";

// Serves fixed bodies by path; anything else is a 404.
struct Routes
{
    QMap<QByteArray, QPair<int, QByteArray>> bodies;

    TestHttpServer::Handler handler() const
    {
        return [this](HttpConnection *connection) {
            const QByteArray path = connection->request().path;
            if (bodies.contains(path))
                connection->respond(bodies[path].first, bodies[path].second);
            else
                connection->respond(404, "not here");
        };
    }
};

QJsonObject repoEntry(const QString &name, const QStringList &exes, const QStringList &tooltips,
                      const QString &api)
{
    return QJsonObject{{"name", name},
                       {"icon", "Moor_icon"},
                       {"exes", QJsonArray::fromStringList(exes)},
                       {"tooltip", QJsonArray::fromStringList(tooltips)},
                       {"api", api},
                       {"dir", name},
                       {"exe", exes.value(0)},
                       {"args", "-a  -b"},
                       {"download", api + "/archive.zip"}};
}

QByteArray manifestBody(const QJsonArray &repos, const QString &version = "0.2")
{
    return QJsonDocument(QJsonObject{{"updater_version", version}, {"repos", repos}}).toJson();
}

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unreachableServerShowsOneDownloadError();
    void notAnObjectAsksForUpdateWithEmptyVersion_data();
    void notAnObjectAsksForUpdateWithEmptyVersion();
    void versionMustMatchExactly_data();
    void versionMustMatchExactly();
    void columnsFollowManifestOrder();
    void columnLayoutAndWidgets();
    void clickHandlers();
    void brokenEntriesNeverReadPastTheirLists();
    void emptyReposStillStyleThePanel();
    void missingPanelLogsOnceAndChecksNothing();
    // Last: it runs and ends the application's own event loop.
    void versionMismatchShowsUpdateBoxAndQuits();

private:
    // Opens a window on the served manifest and waits until its reply has been handled.
    MainWindow *openWindow();
    QPushButton *buttonOf(QWidget *column, int index);

    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<LogCollector> m_log;
    std::unique_ptr<MainWindow> m_window;
    Routes m_routes;
};

void TestManifest::init()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
    m_routes = Routes();
    m_server->setHandler(m_routes.handler());
    m_log = std::make_unique<LogCollector>();
}

void TestManifest::cleanup()
{
    m_window.reset();
    m_log.reset();
    m_server.reset();
}

MainWindow *TestManifest::openWindow()
{
    m_window = std::make_unique<MainWindow>(m_server->urlString("/kiv/updater.json"));
    m_window->show();
    (void)QTest::qWaitFor([this] { return m_server->requestCount("GET", "/kiv/updater.json") == 1; },
                    10000);
    return m_window.get();
}

QPushButton *TestManifest::buttonOf(QWidget *column, int index)
{
    const QList<QPushButton *> buttons = column->findChildren<QPushButton *>();
    return index < buttons.size() ? buttons.at(index) : nullptr;
}

void TestManifest::unreachableServerShowsOneDownloadError()
{
    // A port that was free a moment ago: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    BoxCatcher boxes;
    MainWindow window(QString("https://127.0.0.1:%1/kiv/updater.json").arg(port));
    window.show();
    QVERIFY(boxes.waitForBoxes(1));
    QTest::qWait(200);
    QCOMPARE(boxes.count(), 1);
    const BoxCatcher::Box &box = boxes.boxes().first();
    QCOMPARE(box.title, QString("Download Error"));
    QCOMPARE(box.text, QString("Failed to download JSON."));
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY(!box.hasParent);

    QWidget *panel = window.findChild<QWidget *>("buttonPanel");
    QVERIFY(panel);
    QVERIFY(!panel->layout());
    QVERIFY(panel->findChildren<QWidget *>().isEmpty());
    QVERIFY(m_log->lines().isEmpty());
}

void TestManifest::notAnObjectAsksForUpdateWithEmptyVersion_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty body") << QByteArray();
    QTest::newRow("array") << QByteArray("[{\"updater_version\": \"0.2\"}]");
    QTest::newRow("not json") << QByteArray("<html>0.2</html>");
}

void TestManifest::notAnObjectAsksForUpdateWithEmptyVersion()
{
    QFETCH(QByteArray, body);
    m_routes.bodies["/kiv/updater.json"] = {200, body};
    BoxCatcher boxes;
    openWindow();
    QVERIFY(boxes.waitForBoxes(1));
    const BoxCatcher::Box &box = boxes.boxes().first();
    QCOMPARE(box.title, QString("Update Required"));
    QVERIFY(box.labelTexts.join('\n').contains(
        "A new version of the updater is available: .<br>Please update before proceeding."));
    QCOMPARE(m_server->requests().size(), 1); // no background, no commit list
}

void TestManifest::versionMismatchShowsUpdateBoxAndQuits()
{
    const QString api = m_server->urlString("/api/v4/projects/1/repository/commits");
    QJsonObject root{{"updater_version", "0.1"},
                     {"background", m_server->urlString("/bg.png")},
                     {"repos", QJsonArray{repoEntry("client", {"a"}, {"Play"}, api)}}};
    m_routes.bodies["/kiv/updater.json"] = {200, QJsonDocument(root).toJson()};

    // OK must end the application's event loop: run one and see that the box ends it.
    BoxCatcher boxes(QMessageBox::Ok);
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(42); });
    guard.start(15000);
    QTimer::singleShot(0, this, [this] { openWindow(); });
    const int exitCode = QApplication::exec();
    QCOMPARE(exitCode, 0);

    QCOMPARE(boxes.count(), 1);
    const BoxCatcher::Box &box = boxes.boxes().first();
    QCOMPARE(box.title, QString("Update Required"));
    QCOMPARE(box.flags, Qt::Dialog | Qt::FramelessWindowHint);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(box.text, QString());
    QCOMPARE(box.styleSheet,
             QString("QMessageBox {background-color: rgba(51, 51, 51, 220);border: 2px solid "
                     "rgba(255, 255, 255, 150);border-radius: 15px;padding: 10px;}QLabel {color: "
                     "#eaeaea;font-size: 16px;font-family: 'Segoe UI', 'Arial';}QPushButton "
                     "{background-color: rgba(68, 68, 68, 200);color: #eaeaea;border: 1px solid "
                     "rgba(255, 255, 255, 150);border-radius: 10px;padding: 8px 20px;font-size: "
                     "14px;}QPushButton:hover {background-color: rgba(85, 85, 85, 220);}"));
    const QString message = box.labelTexts.filter("A new version").value(0);
    QVERIFY(message.startsWith("A new version of the updater is available: 0.1.<br>Please update "
                               "before proceeding.<br><br><a href=\""));
    QVERIFY(message.endsWith("\" style=\"color: white; text-decoration: none;\">Veltro Staff</a>"));

    QTRY_COMPARE(m_server->requestCount("GET", "/bg.png"), 1);
    QCOMPARE(m_server->requestCount("GET", "/api/v4/projects/1/repository/commits"), 0);
    QVERIFY(!m_log->contains("Fetching latest commit hash from GitLab for repository: ", true));
}

void TestManifest::versionMustMatchExactly_data()
{
    QTest::addColumn<QJsonValue>("version");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("0.2") << QJsonValue("0.2") << true;
    QTest::newRow("number 0.2") << QJsonValue(0.2) << false;
    QTest::newRow("trailing blank") << QJsonValue("0.2 ") << false;
    QTest::newRow("0.20") << QJsonValue("0.20") << false;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << false;
}

void TestManifest::versionMustMatchExactly()
{
    QFETCH(QJsonValue, version);
    QFETCH(bool, accepted);
    QJsonObject root{{"repos", QJsonArray()}};
    if (!version.isUndefined())
        root.insert("updater_version", version);
    m_routes.bodies["/kiv/updater.json"] = {200, QJsonDocument(root).toJson()};
    BoxCatcher boxes;
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    if (accepted) {
        QTRY_VERIFY(panel->layout() != nullptr);
        QTest::qWait(100);
        QCOMPARE(boxes.count(), 0);
    } else {
        QVERIFY(boxes.waitForBoxes(1));
        QCOMPARE(boxes.boxes().first().title, QString("Update Required"));
        QVERIFY(!panel->layout());
    }
}

void TestManifest::columnsFollowManifestOrder()
{
    const QString api = m_server->urlString("/commits");
    m_routes.bodies["/kiv/updater.json"] = {
        200, manifestBody({repoEntry("alpha", {"a"}, {"A"}, api),
                           repoEntry("beta", {"b"}, {"B"}, api),
                           repoEntry("gamma", {"c"}, {"C"}, api)})};
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    QTRY_VERIFY(panel->layout());
    auto *panelLayout = qobject_cast<QHBoxLayout *>(panel->layout());
    QVERIFY(panelLayout);
    QCOMPARE(panelLayout->alignment(), Qt::AlignCenter);
    QCOMPARE(panelLayout->count(), 3);
    QStringList captions;
    int lastX = -1;
    QTRY_VERIFY(panelLayout->itemAt(2)->widget()->isVisible());
    for (int i = 0; i < 3; ++i) {
        QWidget *column = panelLayout->itemAt(i)->widget();
        QVERIFY(column->geometry().x() > lastX);
        lastX = column->geometry().x();
        captions << static_cast<QLabel *>(column->layout()->itemAt(0)->widget())->text();
    }
    QCOMPARE(captions, (QStringList{"alpha", "beta", "gamma"}));
    // The group stands centred: equal room left of the first and right of the last column.
    const int left = panelLayout->itemAt(0)->widget()->geometry().left();
    const int right = panel->width() - 1 - panelLayout->itemAt(2)->widget()->geometry().right();
    QVERIFY(qAbs(left - right) <= 1);

    // Each column asks for its commits, in manifest order.
    QTRY_COMPARE(m_log->count("Fetching latest commit hash from GitLab for repository: ", true), 3);
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.filter("Fetching latest").value(0),
             QString("Fetching latest commit hash from GitLab for repository:  \"alpha\""));
    QCOMPARE(lines.filter("Fetching latest").value(2),
             QString("Fetching latest commit hash from GitLab for repository:  \"gamma\""));
    QTRY_COMPARE(m_server->requestCount("GET", "/commits"), 3);
}

void TestManifest::columnLayoutAndWidgets()
{
    const QString api = m_server->urlString("/commits");
    m_routes.bodies["/kiv/updater.json"] = {
        200, manifestBody({repoEntry("client", {"bin/a", "bin/b", "bin/c"},
                                     {"Play", "Settings", "Repair", "Unused"}, api)})};
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    QTRY_VERIFY(panel->layout());
    QCOMPARE(panel->styleSheet(),
             QString("QWidget#buttonPanel {background-image: url(:/assets/error-box-bg.png);border: "
                     "none;}"));
    QWidget *column = panel->layout()->itemAt(0)->widget();
    auto *layout = qobject_cast<QVBoxLayout *>(column->layout());
    QVERIFY(layout);
    QCOMPARE(layout->alignment(), Qt::AlignCenter);
    QCOMPARE(layout->count(), 8);

    const QStringList captionTexts{"client", "Play", "Settings", "Repair"};
    const QList<int> captionRows{0, 2, 4, 6};
    for (int i = 0; i < captionRows.size(); ++i) {
        QLayoutItem *item = layout->itemAt(captionRows[i]);
        auto *label = qobject_cast<BorderedLabel *>(item->widget());
        QVERIFY2(label, qPrintable(QString("row %1").arg(captionRows[i])));
        QCOMPARE(label->text(), captionTexts[i]);
        QCOMPARE(item->alignment(), Qt::AlignCenter);
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->parent(), column);
        QCOMPARE(label->styleSheet(),
                 QString(i == 0 ? "font-size: 18px; font-family: 'Arial'; color: #FFD700;"
                                : "font-size: 12px; font-family: 'Arial'; color: #FFD700;"));
    }
    for (int b = 0; b < 3; ++b) {
        QLayoutItem *item = layout->itemAt(1 + 2 * b);
        auto *button = qobject_cast<QPushButton *>(item->widget());
        QVERIFY(button);
        QCOMPARE(item->alignment(), Qt::Alignment());
        QCOMPARE(button->size(), QSize(200, 100));
        QCOMPARE(button->minimumSize(), QSize(200, 100));
        QCOMPARE(button->maximumSize(), QSize(200, 100));
        QVERIFY(!button->isEnabled());
        QVERIFY(button->text().isEmpty());
        QCOMPARE(button->toolTip(), captionTexts[b + 1]);
        QCOMPARE(button->styleSheet(), QString(b == 0 ? largeStyle : smallStyle));
    }
    auto *bar = qobject_cast<QProgressBar *>(layout->itemAt(7)->widget());
    QVERIFY(bar);
    QCOMPARE(layout->itemAt(7)->alignment(), Qt::AlignCenter);
    QCOMPARE(bar->objectName(), QString("client"));
    QVERIFY(bar->isHidden());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(bar->size(), QSize(150, 10));
    QCOMPARE(bar->styleSheet(),
             QString("QProgressBar {margin: 10px;height: 10px;border: 1px solid black;"
                     "border-radius: 5px;background-color: #CCCCCC;}QProgressBar::chunk "
                     "{background-color: #00CC66;}"));
    // The one extra tooltip is never shown anywhere.
    for (QLabel *label : panel->findChildren<QLabel *>())
        QVERIFY(label->text() != "Unused");
    QVERIFY(panel->isVisible());
}

void TestManifest::clickHandlers()
{
    const QString api = m_server->urlString("/commits");
    m_routes.bodies["/kiv/updater.json"] = {
        200, manifestBody({repoEntry("client", {"first", "second"}, {"One", "Two"}, api)})};
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    QTRY_VERIFY(panel->layout());
    QWidget *column = panel->layout()->itemAt(0)->widget();
    QPushButton *first = buttonOf(column, 0);
    QPushButton *second = buttonOf(column, 1);
    QVERIFY(first && second);
    first->setEnabled(true);
    second->setEnabled(true);

    // Neither program exists: each click ends in the launch failure box, which the catcher closes.
    BoxCatcher boxes;
    m_log->clear();
    first->click();
    QVERIFY(!m_log->contains("Botão do repositório", true));
    m_log->clear();
    second->click();
    QCOMPARE(m_log->lines().filter("Botão do repositório"),
             QStringList{"Botão do repositório \"client\" foi clicado!"});
}

void TestManifest::brokenEntriesNeverReadPastTheirLists()
{
    const QString api = m_server->urlString("/commits");
    QJsonObject noPrograms = repoEntry("empty", {}, {}, api);
    QJsonObject fewCaptions = repoEntry("few", {"a", "b", "c"}, {"only"}, api);
    QJsonObject mixed{{"name", "mixed"}, {"exes", QJsonArray{1, "b"}}, {"tooltip", "not a list"}};
    m_routes.bodies["/kiv/updater.json"] = {
        200, manifestBody({noPrograms, fewCaptions, mixed, 7, QJsonArray()})};
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    QTRY_VERIFY(panel->layout());
    QCOMPARE(panel->layout()->count(), 5);

    // No programs: button 0 is still there, and a click on it starts nothing and shows nothing.
    QWidget *empty = panel->layout()->itemAt(0)->widget();
    QCOMPARE(empty->findChildren<QPushButton *>().size(), 1);
    BoxCatcher boxes;
    QPushButton *button = buttonOf(empty, 0);
    button->setEnabled(true);
    button->click();
    QTest::qWait(100);
    QCOMPARE(boxes.count(), 0);

    // Fewer captions than programs: the missing ones are empty texts.
    QWidget *few = panel->layout()->itemAt(1)->widget();
    QCOMPARE(few->findChildren<QPushButton *>().size(), 3);
    QCOMPARE(buttonOf(few, 2)->toolTip(), QString());

    // Non-string elements count as empty texts; a non-object entry is an empty column.
    QWidget *mixedColumn = panel->layout()->itemAt(2)->widget();
    QCOMPARE(mixedColumn->findChildren<QPushButton *>().size(), 2);
    QWidget *numberColumn = panel->layout()->itemAt(3)->widget();
    QCOMPARE(numberColumn->findChildren<QProgressBar *>().value(0)->objectName(), QString());
}

void TestManifest::emptyReposStillStyleThePanel()
{
    m_routes.bodies["/kiv/updater.json"] = {200, R"({"updater_version": "0.2"})"};
    MainWindow *window = openWindow();
    QWidget *panel = window->findChild<QWidget *>("buttonPanel");
    QTRY_VERIFY(panel->layout());
    QVERIFY(panel->styleSheet().startsWith("QWidget#buttonPanel {background-image"));
    QCOMPARE(panel->layout()->count(), 0);
    QVERIFY(panel->findChildren<QPushButton *>().isEmpty());
    QVERIFY(panel->isVisible());
    QCOMPARE(m_server->requests().size(), 1);
}

void TestManifest::missingPanelLogsOnceAndChecksNothing()
{
    const QString api = m_server->urlString("/commits");
    QWidget host;
    auto *manager = new RepoManager(&host);
    const QJsonObject manifest{{"updater_version", "0.2"},
                               {"background", m_server->urlString("/bg.png")},
                               {"repos", QJsonArray{repoEntry("a", {"x"}, {"X"}, api)}}};
    manager->buildPanel(manifest);
    QCOMPARE(m_log->lines(), QStringList{"Panel de botões não encontrado!"});
    QTest::qWait(200);
    // The host is not a launcher window: no background either.
    QCOMPARE(m_server->requests().size(), 0);
}

VELTRO_TEST_MAIN(TestManifest)
#include "tst_manifest.moc"
