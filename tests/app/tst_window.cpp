#include "app/borderedlabel.h"
#include "app/buildconfig.h"
#include "app/mainwindow.h"
#include "app/tlstrust.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QBuffer>
#include <QFontDatabase>
#include <QImage>
#include <QJsonDocument>
#include <QtTest>

namespace {
QByteArray picture(QSize size, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(200, 40, 40));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}
} // namespace

// The window's own parts: the extra certificate authority, the caption's shadow, the background.
class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void extraAuthorityIsTrustedAndVerificationStaysOn()
    {
        TestHttpServer server;
        QVERIFY(server.start(true));
        server.serve("/kiv/updater.json", R"({"updater_version": "0.2"})");
        {
            // Not trusted yet: the certificate is refused and the manifest download fails.
            BoxCatcher boxes;
            MainWindow window(server.url("/kiv/updater.json"));
            QTRY_COMPARE(boxes.count(), 1);
            QCOMPARE(boxes.boxes().first().title, QString("Download Error"));
            QCOMPARE(boxes.boxes().first().text, QString("Failed to download JSON."));
        }
        QVERIFY(!trustExtraCertificateAuthorities("not a certificate"));
        // The authority the build carries in the program, not a file read at run time.
        QVERIFY(trustExtraCertificateAuthorities(extraCertificateAuthorities()));
        BoxCatcher boxes;
        MainWindow window(server.url("/kiv/updater.json"));
        QTRY_VERIFY(window.findChild<QWidget *>("buttonPanel")->layout());
        QCOMPARE(boxes.count(), 0);
    }

    void borderedLabelDrawsShadowBelowRight()
    {
        // A font file of a package the suite names, not whatever a family name resolves to.
        const int font
            = QFontDatabase::addApplicationFont("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
        QVERIFY2(font >= 0, "needs the package fonts-dejavu-core");
        BorderedLabel label("I", nullptr);
        label.setAlignment(Qt::AlignCenter);
        label.setStyleSheet(QString("font-size: 40px; font-family: '%1'; color: #FFD700;")
                                .arg(QFontDatabase::applicationFontFamilies(font).first()));
        label.resize(60, 60);
        QImage image(label.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        label.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);

        // Gold where the glyph is; grey just right of and below its solid pixels, never left of it.
        auto isGold
            = [](QRgb p) { return qAlpha(p) == 255 && qRed(p) == 0xFF && qGreen(p) == 0xD7; };
        auto isGrey = [](QRgb p) {
            return qAlpha(p) > 0 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p) && qRed(p) < 0x80;
        };
        int gold = 0, right = 0, below = 0, left = 0;
        for (int y = 1; y + 1 < image.height(); ++y) {
            for (int x = 1; x + 1 < image.width(); ++x) {
                if (!isGold(image.pixel(x, y)))
                    continue;
                ++gold;
                // Past an edge pixel that the glyph covers only partly, over the shadow.
                right += isGrey(image.pixel(x + 1, y)) || isGrey(image.pixel(qMin(x + 2, 59), y));
                below += isGrey(image.pixel(x, y + 1)) || isGrey(image.pixel(x, qMin(y + 2, 59)));
                left += isGrey(image.pixel(x - 1, y));
            }
        }
        QVERIFY(gold > 20);
        QVERIFY(right > 0);
        QVERIFY(below > 0);
        QCOMPARE(left, 0);
    }

    void background_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QSize>("scaled"); // invalid: the default background stays
        QTest::addColumn<QString>("line");

        const QString applied = "Imagem de fundo aplicada com sucesso!";
        QTest::newRow("4:3, reduced")
            << 200 << picture({1600, 1200}, "JPG") << QSize(800, 600) << applied;
        QTest::newRow("small, enlarged")
            << 200 << picture({50, 30}, "PNG") << QSize(1000, 600) << applied;
        QTest::newRow("tall, cut at the bottom")
            << 200 << picture({300, 600}, "PNG") << QSize(800, 1600) << applied;
        QTest::newRow("a page, not a picture") << 200 << QByteArray("<html>Maintenance</html>")
                                               << QSize() << "Falha ao carregar a imagem!";
        QTest::newRow("404") << 404 << QByteArray("gone") << QSize() << "Erro ao baixar a imagem:";
    }

    void background()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QSize, scaled);
        QFETCH(QString, line);

        LauncherRun run;
        run.server.serve("/background", body, status);
        run.start(QJsonDocument(QJsonObject{{"updater_version", "0.2"},
                                            {"background", run.server.url("/background")}})
                      .toJson());
        QTRY_VERIFY(run.log.contains(line, true));
        const QBrush brush = run.window->palette().brush(QPalette::Window);
        if (!scaled.isValid()) {
            QCOMPARE(brush, QApplication::palette().brush(QPalette::Window));
            return;
        }
        QCOMPARE(brush.texture().size(), scaled);
        const QColor centre
            = brush.textureImage().pixelColor(scaled.width() / 2, scaled.height() / 2);
        QVERIFY2(qAbs(centre.red() - 200) < 8 && qAbs(centre.green() - 40) < 8,
                 qPrintable(centre.name()));
    }
};

VELTRO_TEST_MAIN(TestWindow)
#include "tst_window.moc"
