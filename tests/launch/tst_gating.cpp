#include "manifest/repomanager.h"

#include "logcollector.h"
#include "testenvironment.h"

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest>

// The button gating on a hand-built window: the panel holds buttons and bars below a column, and
// the manager is a child of the window, as the launcher arranges them.
class TestGating : public QObject
{
    Q_OBJECT

private slots:
    void enableFollowsVisibleBars_data();
    void enableFollowsVisibleBars();
    void disableSwitchesEveryButton();
    void hiddenWindowCountsEveryBarComplete();
    void findProgressBar_data();
    void findProgressBar();
    void missingPanel();

private:
    struct Window
    {
        QWidget window;
        QWidget *panel = nullptr;
        QList<QPushButton *> buttons;
        QList<QProgressBar *> bars;
        RepoManager *manager = nullptr;

        explicit Window(const QStringList &barNames, int buttonCount = 3)
        {
            panel = new QWidget(&window);
            panel->setObjectName("buttonPanel");
            auto *column = new QWidget(panel);
            auto *layout = new QVBoxLayout(column);
            for (int i = 0; i < buttonCount; ++i) {
                buttons.append(new QPushButton(column));
                buttons.last()->setEnabled(false); // as the panel creates them
                layout->addWidget(buttons.last());
            }
            for (const QString &name : barNames) {
                bars.append(new QProgressBar(column));
                bars.last()->setObjectName(name);
                bars.last()->setVisible(false);
                layout->addWidget(bars.last());
            }
            manager = new RepoManager(&window);
            window.show();
        }
    };
    static bool allEnabled(const QList<QPushButton *> &buttons, bool enabled)
    {
        for (const QPushButton *button : buttons) {
            if (button->isEnabled() != enabled)
                return false;
        }
        return true;
    }
};

namespace {
const QString enabledLine
    = "Todos os botões foram ativados, todas as atualizações estão completas!";
const QString pendingLine =
    "Nem todas as barras de progresso estão completas. Os botões não serão ativados ainda.";
} // namespace

void TestGating::enableFollowsVisibleBars_data()
{
    QTest::addColumn<int>("barCount");
    QTest::addColumn<int>("shownBar"); // -1: none shown
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("no bar at all") << 0 << -1 << 0 << true;
    QTest::newRow("all hidden at 0") << 3 << -1 << 0 << true;
    QTest::newRow("first shown at 100") << 3 << 0 << 100 << false;
    QTest::newRow("last shown at 0") << 3 << 2 << 0 << false;
}

void TestGating::enableFollowsVisibleBars()
{
    QFETCH(int, barCount);
    QFETCH(int, shownBar);
    QFETCH(int, value);
    QFETCH(bool, enabled);

    QStringList names;
    for (int i = 0; i < barCount; ++i)
        names << QString("repo%1").arg(i);
    Window w(names);
    for (QProgressBar *bar : w.bars)
        bar->setValue(value);
    if (shownBar >= 0)
        w.bars.at(shownBar)->setVisible(true);

    LogCollector log;
    w.manager->enableButtonsIfComplete();
    QCOMPARE(log.lines(), QStringList{enabled ? enabledLine : pendingLine});
    QVERIFY(allEnabled(w.buttons, enabled));
}

void TestGating::disableSwitchesEveryButton()
{
    Window w({"a", "b"});
    for (QPushButton *button : w.buttons)
        button->setEnabled(true);

    LogCollector log;
    w.manager->disableAllButtons();
    QCOMPARE(log.lines(), QStringList{"Todos os botões foram desativados!"});
    QVERIFY(allEnabled(w.buttons, false));

    // Also without any button the line is written.
    Window empty({}, 0);
    log.clear();
    empty.manager->disableAllButtons();
    QCOMPARE(log.lines(), QStringList{"Todos os botões foram desativados!"});
}

void TestGating::hiddenWindowCountsEveryBarComplete()
{
    Window w({"a"});
    w.bars.first()->setVisible(true);
    w.window.hide();
    LogCollector log;
    w.manager->enableButtonsIfComplete();
    QCOMPARE(log.lines(), QStringList{enabledLine});
    QVERIFY(allEnabled(w.buttons, true));
}

void TestGating::findProgressBar_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected"); // index among the bars, -1: none

    QTest::newRow("exact") << "client" << 0;
    QTest::newRow("first of two with one name") << "twin" << 2;
    QTest::newRow("other letter case") << "Client" << -1;
    QTest::newRow("prefix only") << "cli" << -1;
    QTest::newRow("with dots") << "my.repo" << 1;
}

void TestGating::findProgressBar()
{
    QFETCH(QString, name);
    QFETCH(int, expected);

    Window w({"client", "my.repo", "twin", "twin"});
    LogCollector log;
    QProgressBar *bar = w.manager->findProgressBar(name);
    if (expected < 0) {
        QCOMPARE(bar, nullptr);
        QCOMPARE(log.lines(),
                 QStringList{QString("Repository progress bar  \"%1\" not found!").arg(name)});
    } else {
        QCOMPARE(bar, w.bars.at(expected));
        QVERIFY(log.lines().isEmpty());
    }
}

void TestGating::missingPanel()
{
    Window w({"client"});
    w.panel->setObjectName("somethingElse");
    LogCollector log;
    w.manager->disableAllButtons();
    QCOMPARE(w.manager->findProgressBar("client"), nullptr);
    w.manager->enableButtonsIfComplete();
    QCOMPARE(log.lines(), (QStringList{"Button panel not found!", "Button panel not found!",
                                       "Panel de botões não encontrado!"}));
    QVERIFY(allEnabled(w.buttons, false)); // nothing was switched

    // A manager without a parent finds no panel either.
    RepoManager orphan;
    log.clear();
    orphan.enableButtonsIfComplete();
    QCOMPARE(log.lines(), QStringList{"Panel de botões não encontrado!"});
}

VELTRO_TEST_MAIN(TestGating)
#include "tst_gating.moc"
