#include "app/borderedlabel.h"
#include "app/launcherlock.h"
#include "app/logfile.h"
#include "app/mainwindow.h"

#include "boxcatcher.h"
#include "launcherrun.h"
#include "testenvironment.h"

#include <QApplication>
#include <QBuffer>
#include <QFontDatabase>
#include <QImage>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

// The window's own parts (the caption's shadow, the background) and the launcher's own files at
// the top of its folder (the one-launcher lock, the log).
class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void borderedLabelDrawsShadowBelowRight()
    {
#ifdef Q_OS_WIN
        QSKIP("The font file is one of a Debian package");
#endif
        // A font file of a package the suite names, not whatever a family name resolves to.
        const int font = QFontDatabase::addApplicationFont(
            "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
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
        const auto gold = [&](int x, int y) {
            const QRgb p = image.pixel(x, y);
            return qAlpha(p) == 255 && qRed(p) == 0xFF && qGreen(p) == 0xD7;
        };
        const auto grey = [&](int x, int y) {
            const QRgb p = image.pixel(qMin(x, 59), qMin(y, 59));
            return qAlpha(p) > 0 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p) && qRed(p) < 0x80;
        };
        int golden = 0, right = 0, below = 0, left = 0;
        for (int y = 1; y + 1 < image.height(); ++y) {
            for (int x = 1; x + 1 < image.width(); ++x) {
                if (!gold(x, y))
                    continue;
                // Past an edge pixel that the glyph covers only partly, over the shadow.
                ++golden;
                right += grey(x + 1, y) || grey(x + 2, y);
                below += grey(x, y + 1) || grey(x, y + 2);
                left += grey(x - 1, y);
            }
        }
        QVERIFY(golden > 20 && right > 0 && below > 0);
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
        QCOMPARE(brush == QApplication::palette().brush(QPalette::Window), !scaled.isValid());
        if (!scaled.isValid())
            return;
        QCOMPARE(brush.texture().size(), scaled);
        const QColor centre = brush.textureImage().pixelColor(scaled.width() / 2,
                                                              scaled.height() / 2);
        QVERIFY2(qAbs(centre.red() - 200) < 8 && qAbs(centre.green() - 40) < 8,
                 qPrintable(centre.name()));
    }

    void lock_data()
    {
        QTest::addColumn<QString>("owner");  // whose id the lock names, or what is in the way
        QTest::addColumn<QString>("result"); // taken, running or unusable
        const auto row = [](const char *name, const char *owner, const char *result) {
            QTest::newRow(name) << QString(owner) << QString(result);
        };
        row("left by a dead launcher", "dead", "taken");
        row("held by a living one", "living", "running");
        row("names this very process", "self", "taken");
        row("a file where the folder goes", "file", "unusable");
    }

    void lock()
    {
        QFETCH(QString, owner);
        QFETCH(QString, result);
        QString folder = LauncherRun::installRoot();
        QDir(folder).removeRecursively();
        QProcess other; // its id names a dead process, or a living one of the lock's name
        other.start(LauncherRun::recorderPath(), {owner == "living" ? "--wait" : "--"});
        QVERIFY(other.waitForStarted());
        const qint64 pid = owner == "self" ? QCoreApplication::applicationPid() : other.processId();
        QVERIFY(owner != "dead" || other.waitForFinished());
        // The lock file as a launcher leaves it (pid, program name, host), a day old: a launcher
        // runs for hours, so only its owner's death makes a lock stale.
        QVERIFY(QDir().mkpath(folder));
        QFile lockFile(folder + "/launcher.lock");
        QVERIFY(lockFile.open(QIODevice::WriteOnly));
        lockFile.write(QByteArray::number(pid) + "\n"
                       + (owner == "self"
                              ? QCoreApplication::applicationName()
                              : QFileInfo(LauncherRun::recorderPath()).completeBaseName())
                             .toUtf8()
                       + "\n\n");
        QVERIFY(lockFile.flush());
        QVERIFY(lockFile.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                     QFileDevice::FileModificationTime));
        lockFile.close();
        if (owner == "file")
            QVERIFY(LauncherRun::writeFile(folder += "/game", "not a folder"));

        QString problem;
        const bool taken = bool(takeLauncherLock(folder, &problem));
        other.kill();
        other.waitForFinished();
        QCOMPARE(taken ? "taken" : problem.isEmpty() ? "running" : "unusable", result);
        LogCollector log;
        BoxCatcher boxes;
        if (taken)
            return;
        const bool running = result == "running";
        running ? reportLauncherRunning() : reportFolderUnusable(folder, problem);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes().first().title, QString("Veltro"));
        const QString native = QDir::toNativeSeparators(folder);
        QCOMPARE(boxes.boxes().first().text,
                 running ? "The launcher is already running."
                         : "The launcher cannot use its folder " + native + ": " + problem + ".");
        QCOMPARE(log.lines(), QStringList{running ? "Another launcher is already running."
                                                  : "The launcher cannot use its folder: \""
                                                        + folder + "\" \"" + problem + "\""});
    }

    void logFile_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("maxBytes");
        QTest::addColumn<bool>("olderIsFolder");  // launcher.1.log: a folder, not "two runs ago"
        QTest::addColumn<QByteArray>("older");    // launcher.1.log afterwards
        QTest::addColumn<QStringList>("written"); // the new file's lines without their time
        const QString end =
            "Log file limit of 100 bytes reached: the rest of this run is not written here.";
        const QStringList lines{"line 0", "Baixando \"ção\" 1", "line 2"};
        QTest::newRow("lines in order")
            << "." << 4096 << false << QByteArray("last run\n") << lines;
        QTest::newRow("cap reached") << "." << 100 << false << QByteArray("last run\n")
                                     << QStringList{"line 0", "Baixando \"ção\" 1", end};
        QTest::newRow("folder missing")
            << "missing" << 4096 << false << QByteArray("two runs ago\n") << QStringList{};
        // The last run's log cannot be turned over: written on, not emptied.
        QTest::newRow("older log a folder")
            << "." << 4096 << true << QByteArray() << QStringList{"last run"} + lines;
        QTest::newRow("older log a folder, cap reached")
            << "." << 35 << true << QByteArray()
            << QStringList{"last run", "Log file limit of 35 bytes reached: the rest of this run "
                                       "is not written here."};
    }

    void logFile()
    {
        QFETCH(QString, folder);
        QFETCH(int, maxBytes);
        QFETCH(bool, olderIsFolder);
        QFETCH(QByteArray, older);
        QFETCH(QStringList, written);
        QFile::remove("launcher.1.log");
        QDir().rmdir("launcher.1.log");
        QVERIFY(olderIsFolder ? QDir().mkdir("launcher.1.log")
                              : LauncherRun::writeFile("launcher.1.log", "two runs ago\n"));
        LauncherRun::writeFile("launcher.log", "last run\n");
        LogCollector stream; // the file's handler hands every line on to it
        {
            LogFile file(folder, maxBytes);
            for (int i = 0; i < 3; ++i)
                qDebug() << (i == 1 ? "Baixando \"ção\"" : "line") << i;
        }
        qDebug() << "after the file";
        QCOMPARE(stream.lines(),
                 (QStringList{"line 0", "Baixando \"ção\" 1", "line 2", "after the file"}));
        QCOMPARE(LauncherRun::readAll("launcher.1.log"), older);
        // Each line led by the local time with milliseconds.
        QStringList lines =
            QString::fromUtf8(LauncherRun::readAll(folder + "/launcher.log"))
                .remove(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ",
                                           QRegularExpression::MultilineOption))
                .split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines, written);
    }

private:
    static QByteArray picture(QSize size, const char *format)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor(200, 40, 40));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    }
};

VELTRO_TEST_MAIN(TestApp)
#include "tst_app.moc"
