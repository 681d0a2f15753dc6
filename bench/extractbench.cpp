// Extraction benchmark tool.
//   veltro_extract_bench --make-archive <archive.zip>   writes the reference archive (reproducible)
//   veltro_extract_bench <archive.zip> <folder>         extracts it into folder with ZipExtractor
// The extraction runs exactly as in the launcher; only the install root is pointed at <folder>.

#include "extract/zipextractor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <zip.h>

#include <cstdio>
#include <cstring>

namespace {

// Deterministic generator, so every build folder gets the same archive.
class Random
{
public:
    explicit Random(quint64 seed) : m_state(seed ? seed : 0x9e3779b97f4a7c15ULL) {}
    quint64 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    quint32 below(quint32 n) { return quint32(next() % n); }

private:
    quint64 m_state;
};

constexpr int TextFiles = 400;
constexpr int BinaryFiles = 10;
constexpr qint64 BinarySize = 100LL * 1024 * 1024;
constexpr qint64 ChunkSize = 1024 * 1024;

QList<QByteArray> makeVocabulary(Random &random)
{
    QList<QByteArray> words;
    for (int i = 0; i < 1024; ++i) {
        QByteArray word;
        const int length = 2 + int(random.below(9));
        for (int c = 0; c < length; ++c)
            word.append(char('a' + random.below(26)));
        words.append(word);
    }
    return words;
}

// Source-like text: indented lines of words from a small vocabulary.
QByteArray textChunk(Random &random, const QList<QByteArray> &words, qint64 size)
{
    QByteArray text;
    text.reserve(size + 128);
    while (text.size() < size) {
        text.append(QByteArray(int(random.below(4)) * 4, ' '));
        const int count = 3 + int(random.below(10));
        for (int w = 0; w < count; ++w) {
            text.append(words.at(int(random.below(quint32(words.size())))));
            text.append(w + 1 < count ? ' ' : '\n');
        }
    }
    text.truncate(size);
    return text;
}

QByteArray binaryChunk(Random &random, qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        const quint64 value = random.next();
        std::memcpy(data.data() + i, &value, 8);
    }
    return data;
}

bool openEntry(zipFile zip, const QByteArray &name, quint32 mode)
{
    zip_fileinfo info;
    std::memset(&info, 0, sizeof info);
    info.tmz_date.tm_year = 2026;
    info.tmz_date.tm_mday = 1;
    info.external_fa = uLong(mode) << 16;
    const bool directory = name.endsWith('/');
    return zipOpenNewFileInZip4_64(zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   directory ? 0 : Z_DEFLATED,
                                   directory ? 0 : Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                                   DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, (3 << 8) | 20, 0,
                                   1)
        == ZIP_OK;
}

bool makeArchive(const QString &path)
{
    const QString partial = path + ".part";
    zipFile zip = zipOpen64(QFile::encodeName(partial).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    Random random(20260101);
    const QList<QByteArray> words = makeVocabulary(random);
    bool ok = openEntry(zip, "reference/", 040755) && zipCloseFileInZip(zip) == ZIP_OK;
    for (int folder = 0; ok && folder < TextFiles / 20; ++folder) {
        const QByteArray dir = "reference/src/module" + QByteArray::number(folder) + "/";
        ok = openEntry(zip, dir, 040755) && zipCloseFileInZip(zip) == ZIP_OK;
        for (int file = 0; ok && file < 20; ++file) {
            const QByteArray name = dir + "part" + QByteArray::number(file) + ".txt";
            // 0.25 to 2.25 MiB, 1.25 MiB on average.
            const qint64 size = 256 * 1024 + qint64(random.below(2 * 1024 * 1024));
            ok = openEntry(zip, name, 0100644);
            const QByteArray text = textChunk(random, words, size);
            ok = ok && zipWriteInFileInZip(zip, text.constData(), unsigned(text.size())) == ZIP_OK;
            ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
        }
    }
    ok = ok && openEntry(zip, "reference/bin/", 040755) && zipCloseFileInZip(zip) == ZIP_OK;
    for (int file = 0; ok && file < BinaryFiles; ++file) {
        const QByteArray name = "reference/bin/program" + QByteArray::number(file) + ".bin";
        ok = openEntry(zip, name, 0100755);
        for (qint64 done = 0; ok && done < BinarySize; done += ChunkSize) {
            const QByteArray data = binaryChunk(random, ChunkSize);
            ok = zipWriteInFileInZip(zip, data.constData(), unsigned(data.size())) == ZIP_OK;
        }
        ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
    }
    ok = zipClose(zip, nullptr) == ZIP_OK && ok;
    if (!ok) {
        QFile::remove(partial);
        return false;
    }
    QFile::remove(path);
    return QFile::rename(partial, path);
}

void quietHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    if (argc == 3 && std::strcmp(argv[1], "--make-archive") == 0) {
        QCoreApplication app(argc, argv);
        if (!makeArchive(QString::fromLocal8Bit(argv[2]))) {
            err << "could not write " << argv[2] << "\n";
            return 1;
        }
        return 0;
    }
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "--log") == 0)) {
        err << "usage: " << argv[0] << " --make-archive <archive.zip>\n"
            << "       " << argv[0] << " <archive.zip> <empty folder> [--log]\n";
        return 2;
    }
    // The install root is the data folder named after the application: point it at <folder>.
    const QFileInfo target(QString::fromLocal8Bit(argv[2]));
    qputenv("XDG_DATA_HOME", QFile::encodeName(target.absolutePath()));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(target.fileName());
    if (argc == 3)
        qInstallMessageHandler(quietHandler);

    QElapsedTimer timer;
    timer.start();
    const bool ok = ZipExtractor::extractZip(QString::fromLocal8Bit(argv[1])).ok();
    QTextStream(stdout) << "extractZip " << (ok ? "true" : "false") << " in " << timer.elapsed()
                        << " ms\n";
    return ok ? 0 : 1;
}
