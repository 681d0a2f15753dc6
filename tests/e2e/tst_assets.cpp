// The pictures compiled into the program and the Windows resources of the executable.
#include "testenvironment.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QResource>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

// The markers of a JPEG up to the start of scan, in file order.
QList<quint8> jpegMarkers(const QByteArray &data)
{
    QList<quint8> markers;
    int pos = 2;
    while (pos + 4 <= data.size() && quint8(data.at(pos)) == 0xFF) {
        const quint8 marker = quint8(data.at(pos + 1));
        markers.append(marker);
        if (marker == 0xDA)
            break;
        pos += 2 + qFromBigEndian<quint16>(data.constData() + pos + 2);
    }
    return markers;
}

// One resource of a compiled .res file.
struct Resource
{
    QString type; // "#n" for a numbered type
    QString name; // "#n" for a numbered name
    quint16 language = 0;
    QByteArray data;
};

// Reads a type or name field: 0xFFFF and a number, or a NUL-terminated UTF-16 text.
QString readId(const QByteArray &res, int &pos)
{
    const auto *p = reinterpret_cast<const uchar *>(res.constData());
    if (qFromLittleEndian<quint16>(p + pos) == 0xFFFF) {
        const quint16 id = qFromLittleEndian<quint16>(p + pos + 2);
        pos += 4;
        return QStringLiteral("#%1").arg(id);
    }
    QString text;
    while (quint16 c = qFromLittleEndian<quint16>(p + pos)) {
        text += QChar(c);
        pos += 2;
    }
    pos += 2;
    return text;
}

QList<Resource> parseRes(const QByteArray &res)
{
    QList<Resource> list;
    const auto *p = reinterpret_cast<const uchar *>(res.constData());
    int pos = 0;
    while (pos + 32 <= res.size()) {
        const quint32 dataSize = qFromLittleEndian<quint32>(p + pos);
        const quint32 headerSize = qFromLittleEndian<quint32>(p + pos + 4);
        int field = pos + 8;
        Resource r;
        r.type = readId(res, field);
        r.name = readId(res, field);
        field = (field + 3) & ~3;
        r.language = qFromLittleEndian<quint16>(p + field + 6);
        r.data = res.mid(pos + int(headerSize), int(dataSize));
        if (dataSize > 0) // the leading empty entry marks a 32-bit .res file
            list.append(r);
        pos = (pos + int(headerSize) + int(dataSize) + 3) & ~3;
    }
    return list;
}

} // namespace

class TestAssets : public QObject
{
    Q_OBJECT

private slots:
    void pictures_data();
    void pictures();
    void windowIconFileIsNotTheResource();
    void windowsResources();
};

void TestAssets::pictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<qint64>("bytes");

    QTest::newRow("background") << ":/assets/background.jpg" << QByteArray("jpeg")
                                << QSize(2300, 1304) << qint64(805122);
    QTest::newRow("Moor_icon") << ":/assets/Moor_icon.png" << QByteArray("png") << QSize(55, 54)
                               << qint64(5119);
    QTest::newRow("error-box-bg") << ":/assets/error-box-bg.png" << QByteArray("png")
                                  << QSize(250, 200) << qint64(3144);
    QTest::newRow("clienticon") << ":/assets/clienticon.png" << QByteArray("png")
                                << QSize(54, 68) << qint64(5437);
}

void TestAssets::pictures()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);
    QFETCH(qint64, bytes);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QCOMPARE(qint64(data.size()), bytes);

    QBuffer buffer;
    buffer.setData(data);
    QImageReader reader(&buffer);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);

    if (format == "png") {
        // IHDR: bit depth 8, colour type 6 (RGBA).
        QCOMPARE(quint8(data.at(24)), quint8(8));
        QCOMPARE(quint8(data.at(25)), quint8(6));
        QVERIFY(image.hasAlphaChannel());
    } else {
        const QList<quint8> markers = jpegMarkers(data);
        QVERIFY(markers.contains(0xC0)); // baseline frame
        QVERIFY(!markers.contains(0xC2)); // not progressive
        QCOMPARE(markers.last(), quint8(0xDA));
    }
}

void TestAssets::windowIconFileIsNotTheResource()
{
    // The window icon comes from a plain file name in the working folder, which holds none here.
    QVERIFY(!QFile::exists("clienticon.png"));
    QVERIFY(QFile::exists(":/assets/clienticon.png"));
}

void TestAssets::windowsResources()
{
    const QString windres = QStringLiteral(VELTRO_WINDRES);
    const QString preprocessor = QStringLiteral(VELTRO_CPP);
    if (windres.isEmpty() || preprocessor.isEmpty())
        QSKIP("x86_64-w64-mingw32-windres or cpp is not installed");

    QTemporaryDir dir;
    const QString output = dir.filePath("veltro.res");
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(windres, {"--preprocessor=" + preprocessor, "-i",
                            QStringLiteral(VELTRO_ASSETS_DIR "/veltro.rc"), "-O", "res", "-o",
                            output});
    QVERIFY(process.waitForFinished(60000));
    QVERIFY2(process.exitCode() == 0, process.readAll().constData());

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<Resource> resources = parseRes(file.readAll());

    QStringList kinds;
    for (const Resource &r : resources) {
        kinds << r.type + "/" + r.name;
        QCOMPARE(r.language, quint16(0x0409)); // English, United States
    }
    QVERIFY2(!kinds.contains(QRegularExpression("^#16/")), qPrintable(kinds.join(' '))); // version

    // The icon group: six 32-bit images, 256 (stored as 0) down to 16.
    const auto group = std::find_if(resources.cbegin(), resources.cend(), [](const Resource &r) {
        return r.type == "#14" && r.name == "IDI_ICON1";
    });
    QVERIFY2(group != resources.cend(), qPrintable(kinds.join(' ')));
    const auto *g = reinterpret_cast<const uchar *>(group->data.constData());
    QCOMPARE(qFromLittleEndian<quint16>(g + 2), quint16(1));
    const int count = qFromLittleEndian<quint16>(g + 4);
    QCOMPARE(count, 6);
    QSet<int> sizes;
    for (int i = 0; i < count; ++i) {
        const uchar *entry = g + 6 + 14 * i;
        const int width = entry[0] ? entry[0] : 256;
        QCOMPARE(int(entry[1] ? entry[1] : 256), width);
        QCOMPARE(qFromLittleEndian<quint16>(entry + 6), quint16(32));
        sizes.insert(width);
        const QString iconName = QStringLiteral("#%1").arg(qFromLittleEndian<quint16>(entry + 12));
        const auto icon = std::find_if(resources.cbegin(), resources.cend(),
                                       [&](const Resource &r) {
                                           return r.type == "#3" && r.name == iconName;
                                       });
        QVERIFY(icon != resources.cend());
        if (width == 256) {
            QVERIFY(icon->data.startsWith("\x89PNG\r\n\x1a\n"));
        } else {
            const auto *bmp = reinterpret_cast<const uchar *>(icon->data.constData());
            QCOMPARE(qFromLittleEndian<quint32>(bmp), quint32(40)); // BITMAPINFOHEADER
            QCOMPARE(qFromLittleEndian<qint32>(bmp + 4), qint32(width));
            QCOMPARE(qFromLittleEndian<quint16>(bmp + 14), quint16(32));
        }
    }
    QCOMPARE(sizes, (QSet<int>{256, 128, 64, 48, 32, 16}));

    // The application manifest asks for the invoking user's rights.
    const auto manifest = std::find_if(resources.cbegin(), resources.cend(), [](const Resource &r) {
        return r.type == "#24" && r.name == "#1";
    });
    QVERIFY(manifest != resources.cend());
    QVERIFY(manifest->data.contains(R"(level="asInvoker")"));
    QVERIFY(manifest->data.contains(R"(uiAccess="false")"));
}

VELTRO_TEST_MAIN(TestAssets)
#include "tst_assets.moc"
