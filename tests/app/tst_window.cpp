#include "app/borderedlabel.h"
#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "app/tlstrust.h"

#include "boxcatcher.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QImage>
#include <QLayout>
#include <QSizePolicy>
#include <QTcpServer>
#include <QTest>

#include <memory>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void windowIsFixedAndTitled();
    void panelStartsPlain();
    void extraAuthorityIsTrustedAndVerificationStaysOn();
    void borderedLabelEmptyTextPaintsNothing();
    void borderedLabelDrawsShadowBelowRight();
    void borderedLabelNeitherWrapsNorElides();

private:
    QImage render(BorderedLabel &label);
};

namespace {

// A manifest address where nothing listens, so the window's own request fails fast.
QString deadAddress()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QString("http://127.0.0.1:%1/kiv/updater.json").arg(probe.serverPort());
}

} // namespace

void TestWindow::windowIsFixedAndTitled()
{
    BoxCatcher boxes;
    MainWindow window(deadAddress());
    window.show();
    QCOMPARE(window.windowTitle(), QString("Veltro"));
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.minimumSize(), QSize(800, 600));
    QCOMPARE(window.maximumSize(), QSize(800, 600));
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    window.resize(1024, 768);
    QCOMPARE(window.size(), QSize(800, 600));
    QVERIFY(boxes.waitForBoxes(1));
}

void TestWindow::panelStartsPlain()
{
    BoxCatcher boxes;
    MainWindow window(deadAddress());
    QWidget *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QString("centralwidget"));
    QVERIFY(!central->layout());
    auto *panel = window.findChild<QWidget *>("buttonPanel");
    QVERIFY(panel);
    QCOMPARE(panel->parentWidget(), central);
    QCOMPARE(panel->geometry(), QRect(0, 170, 800, 300));
    const QString expected = QString::fromUtf8(
        "\n                QWidget#buttonPanel {\n"
        "                    background-color: rgba(128, 128, 128, 180);  // Cinza com 70% de "
        "opacidade\n"
        "                    border: 1;\n"
        "                }\n"
        "            ");
    QCOMPARE(expected.size(), 195);
    QCOMPARE(panel->styleSheet(), expected);
    // After the failed manifest download the panel stays as it was.
    QVERIFY(boxes.waitForBoxes(1));
    QCOMPARE(panel->styleSheet(), expected);
    QVERIFY(!panel->layout());
}

void TestWindow::extraAuthorityIsTrustedAndVerificationStaysOn()
{
    TestHttpServer server;
    QVERIFY(server.start(true));
    server.setHandler([](HttpConnection *connection) {
        connection->respond(200, R"({"updater_version": "0.2"})");
    });
    LogCollector log;
    {
        // Not trusted yet: the certificate is refused and the download fails.
        BoxCatcher boxes;
        MainWindow window(server.urlString("/kiv/updater.json"));
        QVERIFY(boxes.waitForBoxes(1));
        QCOMPARE(boxes.boxes().first().title, QString("Download Error"));
    }
    QVERIFY(!trustExtraCertificateAuthorities("no certificate here"));
    // The tests' build configuration carries the test authority inside the program.
    QVERIFY(extraCertificateAuthorities().startsWith("-----BEGIN CERTIFICATE-----"));
    QVERIFY(trustExtraCertificateAuthorities(extraCertificateAuthorities()));
    {
        BoxCatcher boxes;
        MainWindow window(server.urlString("/kiv/updater.json"));
        QWidget *panel = window.findChild<QWidget *>("buttonPanel");
        QTRY_VERIFY(panel->layout());
        QCOMPARE(boxes.count(), 0);
    }
}

QImage TestWindow::render(BorderedLabel &label)
{
    QImage image(label.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    label.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

void TestWindow::borderedLabelEmptyTextPaintsNothing()
{
    BorderedLabel label(QString(), nullptr);
    label.setStyleSheet("font-size: 18px; font-family: 'Arial'; color: #FFD700;");
    label.resize(60, 30);
    const QImage image = render(label);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(qAlpha(image.pixel(x, y)), 0);
}

void TestWindow::borderedLabelDrawsShadowBelowRight()
{
    BorderedLabel label("I", nullptr);
    label.setAlignment(Qt::AlignCenter);
    label.setStyleSheet("font-size: 40px; font-family: 'Arial'; color: #FFD700;");
    label.resize(60, 60);
    const QImage image = render(label);
    // Gold where the glyph is; grey shadow just right of and below its solid pixels.
    int gold = 0;
    int shadowRight = 0;
    int shadowBelow = 0;
    auto isGold = [](QRgb p) { return qAlpha(p) == 255 && qRed(p) == 0xFF && qGreen(p) == 0xD7; };
    // The gold has no blue: blue in a pixel is the grey shadow, alone or under a glyph's edge
    // (whose share depends on the font that 'Arial' finds).
    auto isGrey = [](QRgb p) { return qAlpha(p) > 0 && qBlue(p) > 0; };
    for (int y = 0; y + 1 < image.height(); ++y) {
        for (int x = 0; x + 1 < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (!isGold(p))
                continue;
            ++gold;
            shadowRight += isGrey(image.pixel(x + 1, y)) ? 1 : 0;
            shadowBelow += isGrey(image.pixel(x, y + 1)) ? 1 : 0;
        }
    }
    QVERIFY(gold > 20);
    QVERIFY(shadowRight > 0);
    QVERIFY(shadowBelow > 0);
    // Nothing grey sticks out to the left of or above the glyph.
    for (int y = 1; y < image.height(); ++y) {
        for (int x = 1; x < image.width(); ++x) {
            if (isGold(image.pixel(x, y))) {
                QVERIFY(!isGrey(image.pixel(x - 1, y)) || isGold(image.pixel(x - 2, y)));
                break;
            }
        }
    }
}

void TestWindow::borderedLabelNeitherWrapsNorElides()
{
    const QString text = "a caption far too long for its label";
    BorderedLabel label(text, nullptr);
    label.setWordWrap(true);
    label.setStyleSheet("font-size: 12px; color: #FFD700;");
    label.resize(40, 60);
    const QImage image = render(label);
    // Drawn on one line: every painted row lies within one line height of the vertical centre.
    const int lineHeight = label.fontMetrics().height();
    int top = image.height();
    int bottom = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0) {
                top = qMin(top, y);
                bottom = qMax(bottom, y);
            }
    QVERIFY(bottom >= 0);
    QVERIFY(bottom - top <= lineHeight + 1);
    QCOMPARE(label.text(), text);
}

VELTRO_TEST_MAIN(TestWindow)
#include "tst_window.moc"
