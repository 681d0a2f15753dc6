// Extraction benchmark tool.
//   veltro_extract_bench --make-archive <archive.zip> [game]
//                        writes the reference archive (reproducible); with game, an archive
//                        shaped like game data instead: mostly large incompressible entries
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

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 ChunkSize = MiB;

// What an archive holds: text files in folders of 20, then incompressible binaries.
struct Shape
{
    QByteArray root;
    int textFiles;
    qint64 textSize;
    quint32 textSpread; // each text file is textSize plus up to this many bytes more
    int binaryFiles;
    qint64 binarySize;
};
// 400 text files of 0.25 to 2.25 MiB (1.25 MiB on average), ten 100 MiB binaries: 1.1 GiB.
const Shape referenceShape{"reference", 400, 256 * 1024, 2 * MiB, 10, 100 * MiB};
// Game data is mostly compressed already: 300 text files of 200 KiB, eight 110 MiB binaries.
const Shape gameShape{"game", 300, 200 * 1024, 1, 8, 110 * MiB};

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

bool makeArchive(const QString &path, const Shape &shape)
{
    const QString partial = path + ".part";
    zipFile zip = zipOpen64(QFile::encodeName(partial).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    Random random(20260101);
    const QList<QByteArray> words = makeVocabulary(random);
    const QByteArray root = shape.root + "/";
    bool ok = openEntry(zip, root, 040755) && zipCloseFileInZip(zip) == ZIP_OK;
    for (int folder = 0; ok && folder < shape.textFiles / 20; ++folder) {
        const QByteArray dir = root + "src/module" + QByteArray::number(folder) + "/";
        ok = openEntry(zip, dir, 040755) && zipCloseFileInZip(zip) == ZIP_OK;
        for (int file = 0; ok && file < 20; ++file) {
            const QByteArray name = dir + "part" + QByteArray::number(file) + ".txt";
            const qint64 size = shape.textSize + qint64(random.below(shape.textSpread));
            ok = openEntry(zip, name, 0100644);
            const QByteArray text = textChunk(random, words, size);
            ok = ok && zipWriteInFileInZip(zip, text.constData(), unsigned(text.size())) == ZIP_OK;
            ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
        }
    }
    ok = ok && openEntry(zip, root + "bin/", 040755) && zipCloseFileInZip(zip) == ZIP_OK;
    for (int file = 0; ok && file < shape.binaryFiles; ++file) {
        const QByteArray name = root + "bin/program" + QByteArray::number(file) + ".bin";
        ok = openEntry(zip, name, 0100755);
        for (qint64 done = 0; ok && done < shape.binarySize; done += ChunkSize) {
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

void quietHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    if ((argc == 3 || (argc == 4 && std::strcmp(argv[3], "game") == 0))
        && std::strcmp(argv[1], "--make-archive") == 0) {
        QCoreApplication app(argc, argv);
        if (!makeArchive(QString::fromLocal8Bit(argv[2]), argc == 4 ? gameShape : referenceShape)) {
            err << "could not write " << argv[2] << "\n";
            return 1;
        }
        return 0;
    }
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "--log") == 0)) {
        err << "usage: " << argv[0] << " --make-archive <archive.zip> [game]\n"
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
    const bool ok = ZipExtractor::extractZip(QString::fromLocal8Bit(argv[1]), {}).ok();
    QTextStream(stdout) << "extractZip " << (ok ? "true" : "false") << " in " << timer.elapsed()
                        << " ms\n";
    return ok ? 0 : 1;
}
