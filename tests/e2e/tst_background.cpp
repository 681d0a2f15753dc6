// The window background: the manifest's picture downloaded, scaled to cover the window, and the
// failures that leave the default background in place.
#include "app/mainwindow.h"
#include "logcollector.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPalette>
#include <QtTest>

namespace {

QByteArray encode(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray picture(QSize size, QColor colour, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return encode(image, format);
}

struct Answer
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
};

// Serves a manifest that names /background as the picture, and the given answer there.
void serve(TestHttpServer &server, const Answer &answer)
{
    const QJsonObject manifest{{"updater_version", "0.2"},
                               {"background", server.urlString("/background")}};
    const QByteArray manifestBody = QJsonDocument(manifest).toJson();
    server.setHandler([answer, manifestBody](HttpConnection *connection) {
        if (connection->request().path == "/kiv/updater.json")
            connection->respond(200, manifestBody, {{"Content-Type", "application/json"}});
        else if (connection->request().path == "/background")
            connection->respond(answer.status, answer.body, {{"Content-Type", answer.contentType}});
        else
            connection->respond(404, "not here");
    });
}

} // namespace

class TestBackground : public QObject
{
    Q_OBJECT

private slots:
    void pictureCoversWindow_data();
    void pictureCoversWindow();
    void failureKeepsDefault_data();
    void failureKeepsDefault();
};

void TestBackground::pictureCoversWindow_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QSize>("scaled");
    QTest::addColumn<QColor>("colour");

    QTest::newRow("4:3 jpeg, reduced exactly to the window")
        << picture({1600, 1200}, QColor(200, 40, 40), "JPG") << QSize(800, 600)
        << QColor(200, 40, 40);
    QTest::newRow("small png, enlarged")
        << picture({50, 30}, QColor(30, 160, 60), "PNG") << QSize(1000, 600) << QColor(30, 160, 60);
    QTest::newRow("tall png, cut at the bottom")
        << picture({300, 600}, QColor(20, 40, 220), "PNG") << QSize(800, 1600)
        << QColor(20, 40, 220);

    QFile bundled(":/assets/background.jpg");
    bundled.open(QIODevice::ReadOnly);
    QTest::newRow("2300 x 1304 jpeg, right part hidden")
        << bundled.readAll() << QSize(1058, 600) << QColor();
}

void TestBackground::pictureCoversWindow()
{
    QFETCH(QByteArray, body);
    QFETCH(QSize, scaled);
    QFETCH(QColor, colour);

    LogCollector log;
    TestHttpServer server;
    QVERIFY(server.start());
    serve(server, {200, "image/octet-stream", body});

    MainWindow window(server.urlString("/kiv/updater.json"));
    QTRY_VERIFY(log.contains("Imagem de fundo aplicada com sucesso!"));
    QCOMPARE(log.count("Imagem de fundo aplicada com sucesso!"), 1);
    QVERIFY(!log.contains("Erro ao baixar a imagem:", true));
    QCOMPARE(server.requestCount("GET", "/background"), 1);

    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QBrush brush = window.palette().brush(group, QPalette::Window);
        QCOMPARE(brush.style(), Qt::TexturePattern);
        QCOMPARE(brush.texture().size(), scaled);
        if (colour.isValid()) {
            const QColor centre = brush.textureImage().pixelColor(scaled.width() / 2,
                                                                  scaled.height() / 2);
            QVERIFY2(qAbs(centre.red() - colour.red()) < 8
                         && qAbs(centre.green() - colour.green()) < 8
                         && qAbs(centre.blue() - colour.blue()) < 8,
                     qPrintable(centre.name()));
        }
    }
    // The picture is shown through the central widget, which paints nothing of its own.
    QCOMPARE(window.centralWidget()->palette().brush(QPalette::Window).texture().size(), scaled);
    // The picture's own network manager stays with the window; its reply is released.
    QCOMPARE(window.findChildren<QNetworkAccessManager *>(Qt::FindDirectChildrenOnly).size(), 1);
    QTRY_VERIFY(window.findChildren<QNetworkReply *>().isEmpty());
}

void TestBackground::failureKeepsDefault_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("line");

    QTest::newRow("html page with status 200")
        << 200 << QByteArray("text/html")
        << QByteArray("<html><body><h1>Maintenance</h1></body></html>")
        << "Falha ao carregar a imagem!";
    QTest::newRow("empty body") << 200 << QByteArray("image/jpeg") << QByteArray()
                                << "Falha ao carregar a imagem!";
    QTest::newRow("cut picture") << 200 << QByteArray("image/png")
                                 << picture({64, 48}, Qt::red, "PNG").left(40)
                                 << "Falha ao carregar a imagem!";
    // %1 is the picture's address.
    QTest::newRow("404") << 404 << QByteArray("text/html") << QByteArray("<html>gone</html>")
                         << "Erro ao baixar a imagem: \"Error transferring %1 - server replied: "
                            "Not Found\"";
}

void TestBackground::failureKeepsDefault()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QString, line);

    LogCollector log;
    TestHttpServer server;
    QVERIFY(server.start());
    serve(server, {status, contentType, body});
    if (line.contains("%1"))
        line = line.arg(server.urlString("/background"));

    MainWindow window(server.urlString("/kiv/updater.json"));
    const QBrush before = window.palette().brush(QPalette::Window);
    QTRY_VERIFY(log.contains(line));
    QCOMPARE(server.requestCount("GET", "/background"), 1);
    QVERIFY(!log.contains("Imagem de fundo aplicada com sucesso!"));
    QVERIFY(!log.contains("Erro ao baixar a imagem:", true) || line.startsWith("Erro"));
    QVERIFY(!log.contains("Falha ao carregar a imagem!") || line.startsWith("Falha"));

    const QBrush after = window.palette().brush(QPalette::Window);
    QCOMPARE(after.style(), Qt::SolidPattern);
    QCOMPARE(after, before);
    QCOMPARE(after, QApplication::palette().brush(QPalette::Window));
    QTRY_VERIFY(window.findChildren<QNetworkReply *>().isEmpty());
}

VELTRO_TEST_MAIN(TestBackground)
#include "tst_background.moc"
