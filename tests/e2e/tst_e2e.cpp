// The built launcher, run as a user runs it, against nginx serving the demo's update server with
// two repositories. Everything is checked from the outside: its log on stderr, the installed tree,
// the hash files, the server's access log, and (with Xvfb and xdotool) a started program.
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QString doneLine =
    QStringLiteral("Todos os botões foram ativados, todas as atualizações estão completas!");
const QString upToDateLine = QStringLiteral("Repository is up-to-date. No need to download.");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Index of the first line equal to text at or after from, or -1.
int lineIndex(const QStringList &lines, const QString &text, int from = 0)
{
    for (int i = from; i < lines.size(); ++i) {
        if (lines.at(i) == text)
            return i;
    }
    return -1;
}

// Empty when every text is a whole line, in this order; otherwise the first one missing.
QString missingInOrder(const QStringList &lines, const QStringList &texts)
{
    int from = 0;
    for (const QString &text : texts) {
        const int at = lineIndex(lines, text, from);
        if (at < 0)
            return text;
        from = at + 1;
    }
    return {};
}

// Relative paths of the files below root, sorted.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The launcher process; its stderr is collected line by line.
class Launcher
{
public:
    explicit Launcher(const QProcessEnvironment &environment, const QString &workingDir)
    {
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(workingDir);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_stderr += m_process.readAllStandardError(); });
    }
    ~Launcher() { stop(); }

    bool start()
    {
        m_process.start(QStringLiteral(VELTRO_E2E_LAUNCHER), {});
        return m_process.waitForStarted();
    }
    // The launcher never ends by itself.
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    QStringList lines() const
    {
        QStringList all = QString::fromUtf8(m_stderr).split('\n');
        all.removeAll(QString());
        return all;
    }
    QString output() const { return QString::fromUtf8(m_stderr); }

private:
    QProcess m_process;
    QByteArray m_stderr;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstRunInstallsBoth();
    void secondRunIsUpToDate();
    void clickStartsProgram();

private:
    QStringList accessLog() const;
    QString commitId(int project) const;
    QProcessEnvironment environment() const;

    QString m_server = QStringLiteral(VELTRO_E2E_SERVER_DIR);
    QString m_installRoot;
    QString m_work;
    QProcess m_nginx;
};

void TestEndToEnd::initTestCase()
{
    const QString nginx = QStringLiteral(VELTRO_E2E_NGINX);
    if (nginx.isEmpty())
        QSKIP("nginx is not installed");

    // The server presents the test certificates, whose authority the launcher carries.
    QVERIFY(QDir().mkpath(m_server + "/tls"));
    for (const char *name : {"ca.pem", "server.pem", "server.key"}) {
        QFile::remove(m_server + "/tls/" + name);
        QVERIFY(QFile::copy(QStringLiteral(VELTRO_E2E_CERT_DIR "/") + name,
                            m_server + "/tls/" + name));
    }

    QProcess prepare;
    prepare.setProcessChannelMode(QProcess::MergedChannels);
    prepare.start("bash", {QStringLiteral(VELTRO_E2E_PREPARE), m_server,
                           QString::number(VELTRO_E2E_PORT), "client", "moor"});
    QVERIFY(prepare.waitForFinished(120000));
    QVERIFY2(prepare.exitCode() == 0, prepare.readAll().constData());

    QFile::resize(m_server + "/logs/access.log", 0);
    m_nginx.setProcessChannelMode(QProcess::MergedChannels);
    m_nginx.start(nginx, {"-p", m_server + "/", "-c", m_server + "/nginx.conf", "-e",
                          m_server + "/logs/error.log"});
    QVERIFY(m_nginx.waitForStarted());
    // nginx writes its pid file once it listens; a server left over on the port fails ours.
    const QString pidFile = m_server + "/nginx.pid";
    QFile::remove(pidFile);
    const QByteArray pid = QByteArray::number(m_nginx.processId());
    QTRY_VERIFY2_WITH_TIMEOUT(readFile(pidFile).trimmed() == pid
                                  || m_nginx.state() == QProcess::NotRunning,
                              "nginx does not start", 20000);
    QVERIFY2(m_nginx.state() == QProcess::Running,
             (m_nginx.readAll() + readFile(m_server + "/logs/error.log")).constData());
    QTcpSocket probe;
    probe.connectToHost("127.0.0.1", VELTRO_E2E_PORT);
    QVERIFY(probe.waitForConnected(10000));

    // The launcher's own places: its install root below XDG_DATA_HOME, its working folder.
    const QString root = TestEnvironment::instance()->root();
    m_installRoot = root + "/data/VeltroLauncher";
    m_work = root + "/launcher-work";
    QVERIFY(QDir().mkpath(m_work));
}

void TestEndToEnd::cleanupTestCase()
{
    if (m_nginx.state() != QProcess::NotRunning) {
        m_nginx.terminate();
        if (!m_nginx.waitForFinished(10000)) {
            m_nginx.kill();
            m_nginx.waitForFinished();
        }
    }
}

QProcessEnvironment TestEndToEnd::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", TestEnvironment::instance()->root() + "/data");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_FORCE_STDERR_LOGGING", "1");
    env.insert("VELTRO_DEMO_NO_WINDOW", "1");
    return env;
}

QStringList TestEndToEnd::accessLog() const
{
    QStringList lines = QString::fromUtf8(readFile(m_server + "/logs/access.log")).split('\n');
    lines.removeAll(QString());
    return lines;
}

QString TestEndToEnd::commitId(int project) const
{
    const QByteArray list = readFile(
        QStringLiteral("%1/www/api/v4/projects/%2/repository/commits").arg(m_server).arg(project));
    return QJsonDocument::fromJson(list).array().first().toObject().value("id").toString();
}

void TestEndToEnd::firstRunInstallsBoth()
{
    const QString clientId = commitId(4101);
    const QString moorId = commitId(4102);
    QCOMPARE(clientId.size(), 40);
    QVERIFY(moorId != clientId);

    Launcher launcher(environment(), m_work);
    QVERIFY(launcher.start());
    // Both archives dealt with, the buttons enabled after the later of them, and the background
    // (the largest download) shown.
    const auto cycleOver = [&launcher] {
        const QStringList lines = launcher.lines();
        const int client = lineIndex(lines, R"(Arquivo ZIP removido com sucesso:  "client.zip")");
        const int moor = lineIndex(lines, R"(Arquivo ZIP removido com sucesso:  "moor.zip")");
        return client >= 0 && moor >= 0 && lineIndex(lines, doneLine, qMax(client, moor)) >= 0
            && lines.contains("Imagem de fundo aplicada com sucesso!");
    };
    QTRY_VERIFY2_WITH_TIMEOUT(cycleOver() || !launcher.running(), qPrintable(launcher.output()),
                              120000);
    QVERIFY2(launcher.running(), qPrintable(launcher.output()));
    launcher.stop();
    const QStringList lines = launcher.lines();

    // The log, per repository in order, and the two repositories started in manifest order.
    const qint64 clientSize = QFileInfo(m_server + "/www/downloads/client.zip").size();
    const qint64 moorSize = QFileInfo(m_server + "/www/downloads/moor.zip").size();
    const QStringList client{
        R"(Fetching latest commit hash from GitLab for repository:  "client")",
        QStringLiteral(R"(Latest commit hash from GitLab:  "%1")").arg(clientId),
        QStringLiteral("File size detected: %1").arg(clientSize),
        QStringLiteral(R"(Downloaded %1 bytes out of %1)").arg(clientSize),
        R"("client.zip")",
        QStringLiteral(R"(Extracting to AppData/Local at: "%1")").arg(m_installRoot),
        R"(Skipping file: "client/.gitattributes")",
        QStringLiteral(R"(Extracting to: "%1/client/bin/client.sh")").arg(m_installRoot),
        R"(Arquivo ZIP removido com sucesso:  "client.zip")",
        doneLine};
    const QStringList moor{
        R"(Fetching latest commit hash from GitLab for repository:  "moor")",
        QStringLiteral(R"(Latest commit hash from GitLab:  "%1")").arg(moorId),
        QStringLiteral("File size detected: %1").arg(moorSize),
        R"("moor.zip")",
        QStringLiteral(R"(Extracting to: "%1/moor-online/moor.sh")").arg(m_installRoot),
        R"(Arquivo ZIP removido com sucesso:  "moor.zip")",
        doneLine};
    QCOMPARE(missingInOrder(lines, client), QString());
    QCOMPARE(missingInOrder(lines, moor), QString());
    QVERIFY(lineIndex(lines, moor.first()) > lineIndex(lines, client.first()));
    QCOMPARE(lines.count("Hash is different. Downloading ZIP..."), 2);
    QCOMPARE(lines.count("ZIP file downloaded successfully!"), 2);
    QCOMPARE(lines.count("ZIP extraction completed!"), 2);
    QCOMPARE(lines.count("Extraction completed successfully!"), 2);
    QCOMPARE(lines.count("Imagem de fundo aplicada com sucesso!"), 1);
    for (const QString &line : lines) {
        QVERIFY2(!line.startsWith("Fail") && !line.startsWith("Download error:")
                     && !line.startsWith("Erro"),
                 qPrintable(line));
    }

    // The installed tree is the archives' content, Git attribute files left out, programs
    // still executable, and the lock of the launcher, left behind as it was killed (the next
    // start takes it over).
    QStringList expected;
    for (const QString &dir : {QStringLiteral("client"), QStringLiteral("moor-online")}) {
        for (const QString &file : filesBelow(m_server + "/stage/" + dir)) {
            if (file.contains(".gitattributes"))
                continue;
            expected << dir + "/" + file;
            QCOMPARE(readFile(m_installRoot + "/" + dir + "/" + file),
                     readFile(m_server + "/stage/" + dir + "/" + file));
        }
    }
    expected << "launcher.lock";
    expected.sort();
    QCOMPARE(filesBelow(m_installRoot), expected);
    QVERIFY(QFileInfo(m_installRoot + "/client/bin/client.sh").isExecutable());
    QVERIFY(QFileInfo(m_installRoot + "/moor-online/moor.sh").isExecutable());

    // The working folder keeps the two hash files, exactly the ids, and no archive.
    QCOMPARE(readFile(m_work + "/client_hash.txt"), clientId.toUtf8());
    QCOMPARE(readFile(m_work + "/moor_hash.txt"), moorId.toUtf8());
    QCOMPARE(QDir(m_work).entryList(QDir::Files | QDir::Hidden, QDir::Name),
             (QStringList{"client_hash.txt", "moor_hash.txt"}));

    // Each archive asked once for its size and downloaded once.
    const QStringList log = accessLog();
    const QStringList requests{"\"HEAD /downloads/client.zip ", "\"GET /downloads/client.zip ",
                               "\"HEAD /downloads/moor.zip ", "\"GET /downloads/moor.zip ",
                               "\"GET /api/v4/projects/4101/repository/commits ",
                               "\"GET /kiv/background.jpg "};
    for (const QString &request : requests) {
        QCOMPARE(log.filter(request).size(), 1);
        QVERIFY2(log.filter(request).first().contains("\" 200 "), qPrintable(request));
    }
}

void TestEndToEnd::secondRunIsUpToDate()
{
    if (!QFile::exists(m_work + "/client_hash.txt"))
        QSKIP("needs the installation of the first run");
    QFile::resize(m_server + "/logs/access.log", 0);

    Launcher launcher(environment(), m_work);
    QVERIFY(launcher.start());
    QTRY_VERIFY2_WITH_TIMEOUT((launcher.lines().count(upToDateLine) == 2
                                   && launcher.lines().count(doneLine) == 2)
                                  || !launcher.running(),
                              qPrintable(launcher.output()), 60000);
    QVERIFY2(launcher.running(), qPrintable(launcher.output()));

    // A second start while this one runs is refused before it asks for anything; it waits for
    // its information box to be closed.
    Launcher second(environment(), m_work);
    QVERIFY(second.start());
    QTRY_VERIFY2_WITH_TIMEOUT(second.lines().contains("Another launcher is already running.")
                                  || !second.running(),
                              qPrintable(second.output()), 30000);
    QVERIFY2(second.running(), qPrintable(second.output()));
    second.stop();
    launcher.stop();
    QCOMPARE(accessLog().filter("/kiv/updater.json ").size(), 1);

    const QStringList lines = launcher.lines();
    const QString fetching("Fetching latest commit hash from GitLab for repository:  \"%1\"");
    QCOMPARE(missingInOrder(lines, {fetching.arg("client"), fetching.arg("moor"), upToDateLine,
                                    doneLine, upToDateLine, doneLine}),
             QString());
    QVERIFY(!lines.contains("Hash is different. Downloading ZIP..."));
    QVERIFY(!lines.contains("Todos os botões foram desativados!"));

    const QStringList log = accessLog();
    QCOMPARE(log.filter("/repository/commits ").size(), 2);
    QCOMPARE(log.filter("/downloads/").size(), 0);
}

void TestEndToEnd::clickStartsProgram()
{
    const QString xvfb = QStringLiteral(VELTRO_E2E_XVFB);
    const QString xdotool = QStringLiteral(VELTRO_E2E_XDOTOOL);
    if (xvfb.isEmpty() || xdotool.isEmpty())
        QSKIP("Xvfb or xdotool is not installed");
    if (!QFile::exists(m_work + "/client_hash.txt"))
        QSKIP("needs the installation of the first run");

    // A screen of its own; Xvfb picks a free display number and writes it to its output.
    QProcess screen;
    screen.start(xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    QVERIFY(screen.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(screen.canReadLine() || screen.state() != QProcess::Running, 30000);
    const QString display = ":" + QString::fromLatin1(screen.readLine()).trimmed();
    QVERIFY2(display.size() > 1, "Xvfb did not start");
    const auto finish = qScopeGuard([&screen] {
        screen.terminate();
        screen.waitForFinished();
    });

    QProcessEnvironment env = environment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    Launcher launcher(env, m_work);
    QVERIFY(launcher.start());
    QTRY_VERIFY2_WITH_TIMEOUT(launcher.lines().count(doneLine) == 2 || !launcher.running(),
                              qPrintable(launcher.output()), 60000);
    QVERIFY2(launcher.running(), qPrintable(launcher.output()));

    // Program button 0 of the first column (client): the columns stand centred in the panel
    // at y 170..470; the first of two is left of the middle, its large button below its caption.
    const auto xdo = [&](const QStringList &arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(xdotool, arguments);
        process.waitForFinished(30000);
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    };
    const QString window = xdo({"search", "--sync", "--onlyvisible", "--name", "^Veltro$"})
                               .section('\n', 0, 0);
    QVERIFY(!window.isEmpty());
    const QPoint button0(288, 270);
    xdo({"mousemove", "--window", window, QString::number(button0.x()),
         QString::number(button0.y()), "click", "1"});

    const QString started = m_installRoot + "/client/started.log";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 20000);
    QTRY_COMPARE(QString::fromUtf8(readFile(started)),
                 QStringLiteral("Veltro client started in %1/client with: [-fullscreen] [-lang] "
                                "[pt]\n")
                     .arg(m_installRoot));
    launcher.stop();
    // Button 0 writes no click line.
    QCOMPARE(launcher.lines().filter("Botão do repositório").size(), 0);
}

VELTRO_TEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
