// Hostile manifests: nothing crashes, and a value of the wrong type builds exactly what the empty
// value builds.

#include "app/borderedlabel.h"
#include "app/mainwindow.h"

#include "boxcatcher.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <functional>

namespace {

// A full entry whose commit check fails at once (empty address) and so never downloads.
QJsonObject entry(const QString &name = "client")
{
    return QJsonObject{{"name", name},
                       {"icon", "clienticon"},
                       {"exes", QJsonArray{"bin/a.exe", "bin/b.exe", "bin/c.exe"}},
                       {"tooltip", QJsonArray{"Play", "Settings", "Tools"}},
                       {"api", ""},
                       {"dir", "client"},
                       {"exe", "bin/a.exe"},
                       {"args", "-x"},
                       {"download", ""}};
}

QJsonObject manifest(const QJsonArray &repos)
{
    return QJsonObject{{"updater_version", "0.2"}, {"background", ""}, {"repos", repos}};
}

QString dataUrl(const QByteArray &body)
{
    return "data:application/json;base64," + QString::fromLatin1(body.toBase64());
}

// Concatenated rather than formatted: names may hold "%1".
QString describe(QWidget *widget)
{
    if (auto *label = qobject_cast<BorderedLabel *>(widget))
        return "caption [" + label->text() + "] " + label->styleSheet();
    if (auto *button = qobject_cast<QPushButton *>(widget))
        return "button [" + button->toolTip() + "] " + button->styleSheet() + " "
            + QString::number(button->isEnabled()) + " " + QString::number(button->width()) + "x"
            + QString::number(button->height());
    if (auto *bar = qobject_cast<QProgressBar *>(widget))
        return "bar [" + bar->objectName() + "] " + QString::number(!bar->isHidden()) + " "
            + QString::number(bar->value());
    return QString("widget ") + widget->metaObject()->className();
}

// What a manifest made of the window: the panel column by column, the boxes and the log.
struct Outcome
{
    QStringList panel;
    QStringList boxes;
    QStringList log;
    int columns = 0;
};

// Opens a window on the manifest body and waits until every repository's commit check has
// ended (each fails at once or is refused) or a box was shown.
bool open(const QString &manifestUrl, Outcome &outcome, int expectedColumns = -1,
          int timeoutMs = 20000)
{
    LogCollector log;
    BoxCatcher boxes;
    // Not shown: styling thousands of widgets on screen would cost more than the test.
    MainWindow window(manifestUrl);
    auto *panel = window.findChild<QWidget *>("buttonPanel");
    const auto checksEnded = [&] {
        return log.count("Failed to fetch commit hash from GitLab: ", true)
            + log.count("Refusing to synchronise repository with an unsafe name:", true);
    };
    const bool done = QTest::qWaitFor(
        [&] {
            if (boxes.count() > 0)
                return true;
            if (!panel->layout())
                return false;
            const int columns = panel->layout()->count();
            return (expectedColumns < 0 || columns == expectedColumns)
                && checksEnded() == columns;
        },
        timeoutMs);
    if (QLayout *layout = panel->layout()) {
        outcome.columns = layout->count();
        for (int c = 0; c < layout->count(); ++c) {
            QWidget *column = layout->itemAt(c)->widget();
            outcome.panel.append(QString("column %1").arg(c));
            for (int i = 0; column && column->layout() && i < column->layout()->count(); ++i)
                outcome.panel.append(describe(column->layout()->itemAt(i)->widget()));
        }
    }
    for (const BoxCatcher::Box &box : boxes.boxes())
        outcome.boxes.append(box.title + ": " + box.labelTexts.join(" | "));
    outcome.log = log.lines();
    return done;
}

bool open(const QJsonObject &root, Outcome &outcome)
{
    return open(dataUrl(QJsonDocument(root).toJson()), outcome);
}

using Edit = std::function<void(QJsonObject &root)>;

Edit setRootKey(const QString &key, const QJsonValue &value)
{
    return [=](QJsonObject &root) { root[key] = value; };
}

Edit setEntryKey(const QString &key, const QJsonValue &value)
{
    return [=](QJsonObject &root) {
        QJsonArray repos = root["repos"].toArray();
        QJsonObject first = repos[0].toObject();
        first[key] = value;
        repos[0] = first;
        root["repos"] = repos;
    };
}

Edit setListElement(const QString &key, int index, const QJsonValue &value)
{
    return [=](QJsonObject &root) {
        QJsonArray repos = root["repos"].toArray();
        QJsonObject first = repos[0].toObject();
        QJsonArray list = first[key].toArray();
        list[index] = value;
        first[key] = list;
        repos[0] = first;
        root["repos"] = repos;
    };
}

QList<QPair<QString, QJsonValue>> wrongTypes()
{
    return {{"number", QJsonValue(0.2)},
            {"true", QJsonValue(true)},
            {"null", QJsonValue(QJsonValue::Null)},
            {"array", QJsonArray{"0.2", "client"}},
            {"object", QJsonObject{{"name", "client"}}}};
}

} // namespace

Q_DECLARE_METATYPE(Edit)

class TestHostileManifest : public QObject
{
    Q_OBJECT

private slots:
    void wrongTypeReadsAsEmpty_data();
    void wrongTypeReadsAsEmpty();
    void deepNesting_data();
    void deepNesting();
    void fiftyMegabyteBody();
    void thousandRepositories();
    void hostileNames_data();
    void hostileNames();
};

void TestHostileManifest::wrongTypeReadsAsEmpty_data()
{
    QTest::addColumn<Edit>("hostile");
    QTest::addColumn<Edit>("empty");

    const QJsonValue text("");
    for (const auto &[type, value] : wrongTypes()) {
        for (const char *key : {"updater_version", "background"})
            QTest::addRow("%s %s", key, qPrintable(type))
                << setRootKey(key, value) << setRootKey(key, text);
        if (!value.isArray())
            QTest::addRow("repos %s", qPrintable(type))
                << setRootKey("repos", value) << setRootKey("repos", QJsonArray());
        for (const char *key : {"name", "icon", "api", "dir", "exe", "args", "download"})
            QTest::addRow("%s %s", key, qPrintable(type))
                << setEntryKey(key, value) << setEntryKey(key, text);
        for (const char *key : {"exes", "tooltip"}) {
            if (!value.isArray())
                QTest::addRow("%s %s", key, qPrintable(type))
                    << setEntryKey(key, value) << setEntryKey(key, QJsonArray());
            QTest::addRow("%s element %s", key, qPrintable(type))
                << setListElement(key, 1, value) << setListElement(key, 1, text);
        }
        if (!value.isObject())
            QTest::addRow("repos element %s", qPrintable(type))
                << Edit([value](QJsonObject &root) {
                       root["repos"] = QJsonArray{value, entry("second")};
                   })
                << Edit([](QJsonObject &root) {
                       root["repos"] = QJsonArray{QJsonObject(), entry("second")};
                   });
    }
}

void TestHostileManifest::wrongTypeReadsAsEmpty()
{
    QFETCH(Edit, hostile);
    QFETCH(Edit, empty);

    QJsonObject hostileRoot = manifest({entry()});
    hostile(hostileRoot);
    QJsonObject emptyRoot = manifest({entry()});
    empty(emptyRoot);

    Outcome fromHostile, fromEmpty;
    QVERIFY(open(hostileRoot, fromHostile));
    QVERIFY(open(emptyRoot, fromEmpty));
    QCOMPARE(fromHostile.boxes, fromEmpty.boxes);
    QCOMPARE(fromHostile.panel, fromEmpty.panel);
    QCOMPARE(fromHostile.log, fromEmpty.log);
}

void TestHostileManifest::deepNesting_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("columns"); // -1: the Update Required box with an empty version

    const auto nested = [](int depth) {
        return QByteArray(depth, '[') + QByteArray(depth, ']');
    };
    QTest::newRow("root nested 100000 deep") << nested(100000) << -1;
    QTest::newRow("objects nested 100000 deep")
        << QByteArray(R"({"a":)").repeated(100000) + "1" + QByteArray(100000, '}') << -1;
    QTest::newRow("value nested 100000 deep")
        << R"({"updater_version": "0.2", "repos": [{"name": )" + nested(100000) + "}]}" << -1;
    // Within the parser's depth: the document stands, the nested value reads as empty text.
    QTest::newRow("value nested 500 deep")
        << R"({"updater_version": "0.2", "repos": [{"name": )" + nested(500)
               + R"(, "exes": [)" + nested(500) + "]}]}"
        << 1;
}

void TestHostileManifest::deepNesting()
{
    QFETCH(QByteArray, body);
    QFETCH(int, columns);

    Outcome outcome;
    QVERIFY(open(dataUrl(body), outcome));
    if (columns < 0) {
        QCOMPARE(outcome.boxes.size(), 1);
        QVERIFY2(outcome.boxes.first().contains("A new version of the updater is available: ."),
                 qPrintable(outcome.boxes.first()));
        QCOMPARE(outcome.columns, 0);
    } else {
        QCOMPARE(outcome.boxes, QStringList());
        QCOMPARE(outcome.columns, columns);
        // Caption and bar name empty; one program button without caption.
        QCOMPARE(outcome.panel.at(1).section(' ', 0, 1), QString("caption []"));
        QCOMPARE(outcome.panel.last().section(' ', 0, 1), QString("bar []"));
        QCOMPARE(outcome.panel.filter(QRegularExpression("^button")).size(), 1);
    }
}

// Read whole and parsed like any other manifest.
void TestHostileManifest::fiftyMegabyteBody()
{
    QJsonObject root = manifest({entry("big")});
    root["padding"] = QString(50 * 1024 * 1024, QChar('p'));
    const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);
    QVERIFY(body.size() > 50 * 1024 * 1024);

    TestHttpServer server;
    QVERIFY(server.start());
    server.serve("/kiv/updater.json", body);
    Outcome outcome;
    QVERIFY(open(server.urlString("/kiv/updater.json"), outcome, 1, 120000));
    QCOMPARE(outcome.boxes, QStringList());
    QCOMPARE(outcome.columns, 1);
    QVERIFY(outcome.panel.contains(QRegularExpression(R"(^bar \[big\] 0 0$)")));
}

void TestHostileManifest::thousandRepositories()
{
    QJsonArray repos;
    for (int i = 0; i < 1000; ++i)
        repos.append(entry(QString("repo%1").arg(i)));
    Outcome outcome;
    QVERIFY(open(dataUrl(QJsonDocument(manifest(repos)).toJson()), outcome, 1000, 120000));
    QCOMPARE(outcome.columns, 1000);
    QCOMPARE(outcome.panel.filter(QRegularExpression(R"(^bar \[repo\d+\] 0 0$)")).size(), 1000);
    QCOMPARE(outcome.panel.filter(QRegularExpression(R"(^button .* 0 200x100$)")).size(), 3000);
    QCOMPARE(outcome.log.count(
                 "Fetching latest commit hash from GitLab for repository:  \"repo999\""),
             1);
}

void TestHostileManifest::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("slash") << "a/b";
    QTest::newRow("backslash") << "a\\b";
    QTest::newRow("parent") << "..";
    QTest::newRow("parent part") << "../a";
    QTest::newRow("NUL") << QString("a") + QChar(0) + "b";
    QTest::newRow("NUL alone") << QString(QChar(0));
    QTest::newRow("100000 characters") << QString(100000, 'n');
    QTest::newRow("not letters") << QString::fromUtf8("\xF0\x9F\x98\x80\xE2\x80\xAE<b>x</b>%1");
}

// Shown exactly as given; the bar is found by that name.
void TestHostileManifest::hostileNames()
{
    QFETCH(QString, name);

    Outcome outcome;
    QJsonObject root = manifest({entry(name), entry("after")});
    QVERIFY(open(root, outcome));
    QCOMPARE(outcome.columns, 2);
    const int second = outcome.panel.indexOf("column 1");
    QVERIFY(outcome.panel.at(1).startsWith("caption [" + name + "] "));
    QCOMPARE(outcome.panel.at(second - 1), "bar [" + name + "] 0 0");
    QVERIFY(outcome.panel.at(second + 1).startsWith("caption [after] "));
}

VELTRO_TEST_MAIN(TestHostileManifest)
#include "tst_hostilemanifest.moc"
