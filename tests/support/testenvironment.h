#pragma once

#include <QString>
#include <QTemporaryDir>

// Puts the process in a sandbox before the application object exists: offscreen platform,
// QStandardPaths test mode, HOME and XDG folders and the working directory in a temporary folder
// that is removed at exit. Nothing a test does reaches the real home folder.
class TestEnvironment
{
public:
    TestEnvironment();
    TestEnvironment(const TestEnvironment &) = delete;
    TestEnvironment &operator=(const TestEnvironment &) = delete;

    static TestEnvironment *instance();
    // Wine differs from Windows in a few places the suites meet (its TLS as a server, sharing).
    static bool underWine();
    // A tmpfs mounted on target in private user and mount namespaces, which need no privilege
    // (Linux; false elsewhere or where refused). Only while the process has one thread: before
    // main.
    static bool mountPrivateTmpfs(const char *target);
    QString root() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

#define VELTRO_TEST_MAIN(TestObject) \
    int main(int argc, char *argv[]) \
    { \
        TestEnvironment environment; \
        QApplication app(argc, argv); \
        app.setAttribute(Qt::AA_Use96Dpi, true); \
        TestObject tc; \
        QTEST_SET_MAIN_SOURCE_PATH \
        return QTest::qExec(&tc, argc, argv); \
    }
