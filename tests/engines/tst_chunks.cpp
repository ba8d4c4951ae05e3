// The chunk engine: what it refuses, and that a metadata save keeps every
// other chunk byte for byte while libsndfile reads the new values.
#include "ChunkFileBuilder.h"
#include "rewrite/ChunkWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

using B = ChunkFileBuilder;
using Edits = std::array<std::optional<QByteArray>, 6>;
Q_DECLARE_METATYPE(Edits)
Q_DECLARE_METATYPE(ChunkContainer)

namespace {

// Each chunk's bytes (LISTs: header and type only), for order and byte checks.
QList<QByteArray> rawChunks(const QByteArray &file, const ChunkList &list, const QList<QByteArray> &leaveOut)
{
    QList<QByteArray> out;
    for (const Chunk &c : list.chunks) {
        const QByteArray raw = file.mid(c.offset, c.listType.isEmpty() ? c.totalSize() : 12);
        if (!leaveOut.contains(raw.left(4)) && !leaveOut.contains(raw.mid(8, 4)))
            out << raw;
    }
    return out;
}

QByteArray ids(const ChunkList &list)
{
    QByteArrayList out;
    for (const Chunk &c : list.chunks)
        out << (c.depth ? "." : "") + c.id;
    return out.join('|');
}

QByteArray chunkFile(const QList<QPair<QByteArray, QByteArray>> &chunks, ChunkContainer container = ChunkContainer::Wave)
{
    B b(container);
    for (const auto &[id, payload] : chunks)
        b.add(id, payload);
    return b.bytes();
}

const QByteArray fmt16 = B::pcmFormat(1, 8000, 16);

} // namespace

class TestChunks : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    QString path(const QString &name) { return m_dir.filePath(name + QString::number(++m_count)); }
    QString save(const QByteArray &bytes)
    {
        const QString p = path("in");
        QFile f(p);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        return p;
    }
    static QByteArray load(const QString &p)
    {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static std::optional<ChunkList> listOf(const QString &p, QString *error = nullptr)
    {
        const int fd = ::open(QFile::encodeName(p).constData(), O_RDONLY);
        const auto list = readChunkList(FdByteSource(fd), error);
        ::close(fd);
        return list;
    }
    // Reads source, writes target with the edits; the target's list read back
    // must be the one the writer reports.
    ChunkWriteResult rewrite(const QString &source, const QString &target, const ChunkEdits &edits,
                             const ChunkWriteOptions &options = {})
    {
        const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY);
        const int out = ::open(QFile::encodeName(target).constData(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        QString error;
        const auto list = readChunkList(FdByteSource(in), &error);
        ChunkWriteResult result;
        result.error = error;
        if (list)
            result = writeChunks(in, *list, edits, out, options);
        const auto back = readChunkList(FdByteSource(out), &error);
        if (result.status == ChunkWriteStatus::Ok && !(back && back->sameLayout(result.written)))
            result = {ChunkWriteStatus::Failed, "read back differs: " + error, {}, {}};
        if (result.status == ChunkWriteStatus::Ok && result.sourceDataHash) {
            const Chunk &d = back->chunks.at(back->dataIndex);
            const std::optional<quint64> read = hashRange(out, d.payloadOffset(), d.size);
            if (read != result.sourceDataHash || (result.targetDataHash && read != result.targetDataHash))
                result = {ChunkWriteStatus::Failed, "data hash differs", {}, {}};
        }
        ::close(in);
        ::close(out);
        return result;
    }
    static QByteArray sfString(SNDFILE *f, int id)
    {
        const char *s = sf_get_string(f, id);
        return s ? QByteArray(s) : QByteArray();
    }

private slots:
    void fieldRecording();
    void aiffc();
    void libsndfileFiles_data();
    void libsndfileFiles();
    void sparse_data();
    void sparse();
    void acceptOrRefuse_data();
    void acceptOrRefuse();
    void structureEdits_data();
    void structureEdits();
    void chunksById_data();
    void chunksById();
    void copyPathsAndCancel();
    void hash_data();
    void hash();
};

void TestChunks::fieldRecording()
{
    QByteArray audio(6000, '\0');
    for (int i = 0; i < audio.size(); ++i)
        audio[i] = char(i * 7);
    const QByteArray source = chunkFile({
        {"fmt ", B::pcmFormat(2, 48000, 24)},
        {"bext", B::bext("Old description", "A=PCM,F=48000,W=24,M=stereo,T=Rec\r\n")},
        {"LIST", B::list("INFO", {{"INAM", "Old title\0"}, {"IART", QByteArray("Artist\0", 7)},
                                  {"ISFT", QByteArray("Rec 1.0\0", 8)}, {"IGNR", QByteArray("Field\0", 6)},
                                  {"IPRD", QByteArray("Product\0", 8)}})},
        {"iXML", "<BWFXML><PROJECT>p</PROJECT></BWFXML>"},
        {"cue ", B::cue({{1, 100}, {2, 700}})},
        {"LIST", B::list("adtl", {{"labl", B::le32(1) + QByteArray("Start\0", 6)},
                                  {"labl", B::le32(2) + QByteArray("Bird\0", 5)},
                                  {"note", B::le32(2) + QByteArray("loud\0", 5)}})},
        {"smpl", QByteArray(36, '\0') + QByteArray(24, '\1')},
        {"xtra", "abcde"},
        {"JUNK", QByteArray(100, '\0')},
        {"data", audio},
    });
    const QString in = save(source);
    const QString out = path("out");
    ChunkEdits edits;
    edits.strings[0] = "New title";
    edits.bext = B::bext("New description", "A=PCM,F=48000,W=24,M=stereo,T=Edit\r\n");
    const ChunkWriteResult result = rewrite(in, out, edits);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));

    const QByteArray written = load(out);
    const QList<QByteArray> leaveOut{"INAM", "bext", "INFO"};
    QCOMPARE(rawChunks(written, result.written, leaveOut), rawChunks(source, *listOf(in), leaveOut));
    QCOMPARE(ids(result.written), "fmt |bext|LIST|.INAM|.IART|.ISFT|.IGNR|.IPRD|iXML|cue |LIST|.labl|.labl|.note|smpl|xtra|JUNK|data");

    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(out).constData(), SFM_READ, &info);
    QVERIFY(f);
    SF_BROADCAST_INFO bext{};
    QVERIFY(sf_command(f, SFC_GET_BROADCAST_INFO, &bext, sizeof bext));
    QCOMPARE(sfString(f, SF_STR_TITLE), "New title");
    QCOMPARE(sfString(f, SF_STR_ARTIST), "Artist");
    sf_close(f);
    QCOMPARE(QByteArray(bext.description), "New description");
    QCOMPARE(bext.version, 1);
    QCOMPARE(QByteArray(bext.coding_history), "A=PCM,F=48000,W=24,M=stereo,T=Edit\r\n");
}

void TestChunks::aiffc()
{
    const QByteArray source = chunkFile({
        {"FVER", B::be32(0xA2805140)},
        {"COMM", B::aiffCommon(1, 5, 16, 44100, "NONE")},
        {"MARK", B::be16(1) + B::be16(1) + B::be32(2) + QByteArray("\x03" "cue", 4)},
        {"INST", QByteArray(20, '\x01')},
        {"COMT", B::be16(1) + B::be32(0) + B::be16(1) + B::be16(5) + "hello" + QByteArray(1, '\0')},
        {"NAME", "Old"},
        {"APPL", "stocprivate data"},
        {"SSND", QByteArray(8, '\0') + QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", 10)},
    }, ChunkContainer::Aifc);
    const QString in = save(source);
    const QString out = path("out");
    ChunkEdits edits;
    edits.strings[0] = "New AIFF title";
    edits.strings[2] = "Tool";
    edits.strings[3] = "Someone";
    const ChunkWriteResult result = rewrite(in, out, edits);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));
    const QList<QByteArray> leaveOut{"NAME", "AUTH", "m3ga"};
    QCOMPARE(rawChunks(load(out), result.written, leaveOut), rawChunks(source, *listOf(in), leaveOut));
    QCOMPARE(ids(result.written), "FVER|COMM|MARK|INST|COMT|NAME|APPL|APPL|AUTH|SSND");

    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(out).constData(), SFM_READ, &info);
    QVERIFY(f);
    QCOMPARE(info.frames, 5);
    QCOMPARE(sfString(f, SF_STR_TITLE), "New AIFF title");
    QCOMPARE(sfString(f, SF_STR_SOFTWARE), "Tool");
    QCOMPARE(sfString(f, SF_STR_ARTIST), "Someone");
    sf_close(f);
}

void TestChunks::libsndfileFiles_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("channels");
    QTest::newRow("WAV mu-law") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 1;
    QTest::newRow("WAV IMA ADPCM") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 2;
    QTest::newRow("WAVEX 24-bit") << (SF_FORMAT_WAVEX | SF_FORMAT_PCM_24) << 3;
    QTest::newRow("RF64 float") << (SF_FORMAT_RF64 | SF_FORMAT_FLOAT) << 2;
    QTest::newRow("AIFF 8-bit") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 1;
    QTest::newRow("AIFF-C mu-law") << (SF_FORMAT_AIFF | SF_FORMAT_ULAW) << 2;
}

// Files libsndfile wrote get all six strings (and a bext for the WAV
// family); libsndfile reads back what it can store in that format.
void TestChunks::libsndfileFiles()
{
    QFETCH(int, format);
    QFETCH(int, channels);
    const QString in = path("sf");
    SF_INFO info{0, 22050, channels, format, 0, 0};
    SNDFILE *f = sf_open(QFile::encodeName(in).constData(), SFM_WRITE, &info);
    QVERIFY2(f, sf_strerror(nullptr));
    std::vector<float> samples(size_t(4099 * channels));
    const sf_count_t frames = 4099;
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(std::sin(double(i) * 0.05) * 0.5);
    sf_writef_float(f, samples.data(), frames);
    sf_close(f);
    f = sf_open(QFile::encodeName(in).constData(), SFM_READ, &info);
    QVERIFY(f);
    sf_close(f);

    const QByteArrayList values{"Title", "Copyright", "Software", "Artist", "Comment", "2024-01-02"};
    ChunkEdits edits;
    for (int i = 0; i < 6; ++i)
        edits.strings[i] = values[i];
    edits.bext = B::bext("Described");
    const QString out = path("out");
    const ChunkWriteResult result = rewrite(in, out, edits);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));

    SF_INFO back{};
    f = sf_open(QFile::encodeName(out).constData(), SFM_READ, &back);
    QVERIFY(f);
    QCOMPARE(back.frames, info.frames);
    QCOMPARE(back.format, format);
    const bool aiff = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF;
    for (int i = 0; i < (aiff ? 5 : 6); ++i)
        QCOMPARE(sfString(f, i + 1), values[i]);
    SF_BROADCAST_INFO bext{};
    QCOMPARE(sf_command(f, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) != 0, !aiff);
    sf_close(f);
}

void TestChunks::sparse_data()
{
    QTest::addColumn<ChunkContainer>("container");
    QTest::addColumn<qint64>("frames");
    QTest::newRow("RF64 with more than 2^31 frames") << ChunkContainer::Rf64 << (qint64(1) << 31) + 1001;
    QTest::newRow("WAV growing past 4 GiB") << ChunkContainer::Wave << qint64(0xffffffffLL - 40);
}

// Huge files without writing gigabytes: the data is a hole but for a few
// bytes at its end, and the copy keeps the hole. A title makes the WAV too
// large for 32-bit sizes, so it becomes RF64.
void TestChunks::sparse()
{
    QFETCH(ChunkContainer, container);
    QFETCH(qint64, frames);
    B b(container);
    b.add("fmt ", B::pcmFormat(1, 8000, 8)).add("data", {}, frames);
    const QString in = save(b.bytes());
    QFile tail(in);
    QVERIFY(tail.open(QIODevice::ReadWrite) && tail.seek(b.totalSize() - 5) && tail.write("\x01\x02\x03\x04\x05") == 5);
    tail.close();

    ChunkEdits edits;
    edits.strings[0] = "Long";
    ChunkWriteOptions options;
    options.hashSourceData = false; // gigabytes of zeros; the marker bytes tell enough
    const QString out = path("out");
    const ChunkWriteResult result = rewrite(in, out, edits, options);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));
    QCOMPARE(result.written.container, ChunkContainer::Rf64);
    QCOMPARE(ids(result.written), "ds64|fmt |LIST|.INAM|data");
    QFile copy(out);
    QVERIFY(copy.open(QIODevice::ReadOnly) && copy.seek(result.written.fileSize - 5));
    QCOMPARE(copy.read(5), "\x01\x02\x03\x04\x05");

    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(out).constData(), SFM_READ, &info);
    QVERIFY(f);
    QCOMPARE(info.frames, frames);
    QCOMPARE(sfString(f, SF_STR_TITLE), "Long");
    sf_close(f);
}

void TestChunks::acceptOrRefuse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("dataSize"); // -1: refused
    const QByteArray data8 = QByteArray(8, '\0');
    const QByteArray plain = chunkFile({{"fmt ", fmt16}, {"data", data8}});
    const auto patched = [](QByteArray bytes, qsizetype at, const QByteArray &with) { return bytes.replace(at, with.size(), with); };
    const QByteArray rf64 = chunkFile({{"fmt ", fmt16}, {"data", data8}}, ChunkContainer::Rf64);
    const QByteArray odd = chunkFile({{"fmt ", fmt16}, {"xtra", "abc"}, {"data", data8}});
    const QByteArray info = chunkFile({{"fmt ", fmt16}, {"LIST", B::list("INFO", {{"INAM", "ab"}})}, {"data", data8}});

    QTest::newRow("truncated header") << QByteArray("RIFF\x10\0", 6) << qint64(-1);
    QTest::newRow("not a sound file") << QByteArray("Hello, this is text, not audio.") << qint64(-1);
    QTest::newRow("chunk past the end") << B().add("fmt ", fmt16).add("data", data8).add("iXML", "abc", 500).bytes() << qint64(-1);
    QTest::newRow("chunk header cut off") << patched(plain + "iX", 4, B::le32(plain.size() - 6)) << qint64(-1);
    QTest::newRow("odd size without pad") << odd.left(odd.indexOf("abc") + 3) + odd.mid(odd.indexOf("abc") + 4) << qint64(-1);
    QTest::newRow("LIST child overruns") << patched(info, info.indexOf("INAM") + 4, B::le32(40)) << qint64(-1);
    QTest::newRow("two data chunks") << chunkFile({{"fmt ", fmt16}, {"data", data8}, {"data", data8}}) << qint64(-1);
    QTest::newRow("data before fmt") << chunkFile({{"data", data8}, {"fmt ", fmt16}}) << qint64(-1);
    QTest::newRow("no fmt") << chunkFile({{"data", data8}}) << qint64(-1);
    QTest::newRow("no data") << chunkFile({{"fmt ", fmt16}}) << qint64(-1);
    QTest::newRow("ds64 data past end") << patched(rf64, 28, B::le64(4000)) << qint64(-1);
    QTest::newRow("ds64 RIFF past end") << patched(rf64, 20, B::le64(9000)) << qint64(-1);
    QTest::newRow("ds64 table too long") << patched(rf64, 44, B::le32(3)) << qint64(-1);
    QTest::newRow("RF64 without ds64") << patched(plain, 0, "RF64") << qint64(-1);
    QTest::newRow("AIFF two SSND") << chunkFile({{"COMM", B::aiffCommon(1, 0, 16, 8000)}, {"SSND", data8}, {"SSND", data8}}, ChunkContainer::Aiff) << qint64(-1);
    QTest::newRow("AIFF SSND shorter than its fields") << chunkFile({{"COMM", B::aiffCommon(1, 0, 16, 8000)}, {"SSND", {}}}, ChunkContainer::Aiff) + "abcd" << qint64(-1);
    QTest::newRow("AIFF SSND before COMM") << chunkFile({{"SSND", data8}, {"COMM", B::aiffCommon(1, 0, 16, 8000)}}, ChunkContainer::Aiff) << qint64(-1);

    QTest::newRow("data size 0, to end") << patched(plain + data8, plain.indexOf("data") + 4, B::le32(0)) << qint64(16);
    QTest::newRow("data size FFFFFFFF, to end") << patched(plain + "abc", plain.indexOf("data") + 4, B::le32(~0u)) << qint64(11);
    QTest::newRow("RIFF and data size 0") << patched(patched(plain, 4, B::le32(0)), plain.indexOf("data") + 4, B::le32(0)) << qint64(8);
    QTest::newRow("RF64 sizes never filled in") << patched(patched(rf64 + "ab", 20, B::le64(0)), 28, B::le64(0)) << qint64(10);
    QTest::newRow("odd last chunk without pad") << patched(plain + "xtra" + B::le32(3) + "abc", 4, B::le32(plain.size() + 3)) << qint64(8);
    QTest::newRow("BW64") << chunkFile({{"fmt ", fmt16}, {"data", data8}}, ChunkContainer::Bw64) << qint64(8);
    QTest::newRow("bytes after the RIFF") << plain + "ID3\x04\0\0\0\0\0\x10tag" << qint64(8);
}

// Accepted files also go through a save: the read-back list must match.
void TestChunks::acceptOrRefuse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, dataSize);
    QString error;
    const auto list = readChunkList(MemoryByteSource(bytes), &error);
    QCOMPARE(list.has_value(), dataSize >= 0);
    if (!list) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(list->chunks.at(list->dataIndex).size, dataSize);
    ChunkEdits edits;
    edits.strings[0] = "T";
    const ChunkWriteResult result = rewrite(save(bytes), path("out"), edits);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));
    QCOMPARE(result.written.chunks.at(result.written.dataIndex).size, dataSize);
}

void TestChunks::structureEdits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Edits>("strings");
    QTest::addColumn<QByteArray>("bext");
    QTest::addColumn<qint64>("rf64Threshold");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray data = QByteArray(2000, '\x11');
    const QByteArray common = B::aiffCommon(1, 1000, 16, 8000);
    const auto inam = [](const QByteArray &v) { return QPair<QByteArray, QByteArray>{"INAM", v}; };
    const qint64 off = 0xffffffffLL;
    const Edits title{QByteArray("Title")};
    const Edits noTitle{QByteArray()};

    QTest::newRow("INFO added") << chunkFile({{"fmt ", fmt16}, {"data", data}}) << title << QByteArray() << off << QByteArray("fmt |LIST|.INAM|data");
    QTest::newRow("INFO emptied") << chunkFile({{"fmt ", fmt16}, {"LIST", B::list("INFO", {inam("x")})}, {"data", data}}) << noTitle << QByteArray() << off << QByteArray("fmt |data");
    QTest::newRow("duplicate strings") << chunkFile({{"fmt ", fmt16}, {"LIST", B::list("INFO", {inam("a"), {"IART", "b"}, inam("c")})}, {"data", data}}) << title << QByteArray() << off << QByteArray("fmt |LIST|.INAM|.IART|data");
    QTest::newRow("bext added") << chunkFile({{"fmt ", fmt16}, {"data", data}}) << Edits{} << B::bext("d") << off << QByteArray("fmt |bext|data");
    QTest::newRow("bext removed") << chunkFile({{"fmt ", fmt16}, {"bext", B::bext("d")}, {"data", data}}) << Edits{} << QByteArray("") << off << QByteArray("fmt |data");
    QTest::newRow("AIFF strings added") << chunkFile({{"COMM", common}, {"SSND", QByteArray(8, '\0') + data}}, ChunkContainer::Aiff) << Edits{"T", {}, {}, "A", {}, "2024"} << QByteArray() << off << QByteArray("COMM|NAME|AUTH|SSND");
    QTest::newRow("RF64 from JUNK") << chunkFile({{"JUNK", QByteArray(28, '\0')}, {"fmt ", fmt16}, {"data", data}}) << title << QByteArray() << qint64(1000) << QByteArray("ds64|fmt |LIST|.INAM|data");
    QTest::newRow("RF64 from large JUNK") << chunkFile({{"JUNK", QByteArray(99, '\0')}, {"fmt ", fmt16}, {"data", data}}) << Edits{} << QByteArray() << qint64(1000) << QByteArray("ds64|JUNK|fmt |data");
    QTest::newRow("RF64, ds64 inserted") << chunkFile({{"fmt ", fmt16}, {"data", data}}) << Edits{} << QByteArray() << qint64(1000) << QByteArray("ds64|fmt |data");
}

// Chunks appear and go as their content does; libsndfile still reads the
// audio of the result.
void TestChunks::structureEdits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Edits, strings);
    QFETCH(QByteArray, bext);
    QFETCH(qint64, rf64Threshold);
    QFETCH(QByteArray, expected);
    ChunkEdits edits{strings, bext.isNull() ? std::nullopt : std::optional<QByteArray>(bext)};
    ChunkWriteOptions options;
    options.rf64Threshold = rf64Threshold;
    const QString out = path("out");
    const ChunkWriteResult result = rewrite(save(bytes), out, edits, options);
    QVERIFY2(result.status == ChunkWriteStatus::Ok, qPrintable(result.error));
    QCOMPARE(ids(result.written), expected);
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(out).constData(), SFM_READ, &info);
    QVERIFY2(f, sf_strerror(nullptr));
    QCOMPARE(info.frames, 1000);
    if (strings[0] && !strings[0]->isEmpty())
        QCOMPARE(sfString(f, SF_STR_TITLE), *strings[0]);
    sf_close(f);
}

void TestChunks::chunksById_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected"); // empty: refused
    const QByteArray odd = QByteArray(2001, '\x11'), md5 = "0123456789abcdef";
    QTest::newRow("added after odd audio") << chunkFile({{"fmt ", fmt16}, {"data", odd}}) << QByteArray("MD5 ") << md5 << QByteArray("fmt |data|MD5 ");
    QTest::newRow("replaced in its place, duplicate gone") << chunkFile({{"fmt ", fmt16}, {"MD5 ", "old"}, {"data", odd}, {"MD5 ", "x"}}) << QByteArray("MD5 ") << md5 << QByteArray("fmt |MD5 |data");
    QTest::newRow("removed") << chunkFile({{"fmt ", fmt16}, {"data", odd}, {"MD5 ", md5}}) << QByteArray("MD5 ") << QByteArray() << QByteArray("fmt |data");
    QTest::newRow("AIFF") << chunkFile({{"COMM", B::aiffCommon(1, 1000, 16, 8000)}, {"SSND", QByteArray(8, '\0') + odd.left(2000)}}, ChunkContainer::Aiff) << QByteArray("iXML") << md5 << QByteArray("COMM|SSND|iXML");
    QTest::newRow("data refused") << chunkFile({{"fmt ", fmt16}, {"data", odd}}) << QByteArray("data") << md5 << QByteArray();
    // Lists by id and type ("LIST/adtl"), set whole.
    const QByteArray labels = B::list("adtl", {{"labl", B::cueText(1, "a")}, {"note", B::cueText(1, "bc")}});
    const QByteArray info = B::list("INFO", {{"INAM", "t"}});
    QTest::newRow("list replaced") << chunkFile({{"fmt ", fmt16}, {"LIST", info}, {"LIST", B::list("adtl", {{"labl", "x"}})}, {"data", odd}}) << QByteArray("LIST/adtl") << labels << QByteArray("fmt |LIST|.INAM|LIST|.labl|.note|data");
    QTest::newRow("list added") << chunkFile({{"fmt ", fmt16}, {"LIST", info}, {"data", odd}}) << QByteArray("LIST/adtl") << labels << QByteArray("fmt |LIST|.INAM|data|LIST|.labl|.note");
    QTest::newRow("INFO refused") << chunkFile({{"fmt ", fmt16}, {"data", odd}}) << QByteArray("LIST/INFO") << info << QByteArray();
    QTest::newRow("cut list refused") << chunkFile({{"fmt ", fmt16}, {"data", odd}}) << QByteArray("LIST/adtl") << labels.chopped(1) << QByteArray();
}

// Chunks set by id: in place of the first of the id, else after the audio,
// which keeps its bytes (rewrite() checks).
void TestChunks::chunksById()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    const QByteArrayList idAndType = id.split('/');
    ChunkEdits edits;
    edits.chunks << ChunkPayload{idAndType[0], payload, idAndType.value(1)};
    const QString out = path("out");
    const ChunkWriteResult result = rewrite(save(bytes), out, edits);
    QCOMPARE(result.status, expected.isEmpty() ? ChunkWriteStatus::Failed : ChunkWriteStatus::Ok);
    if (expected.isEmpty())
        return;
    QCOMPARE(ids(result.written), expected);
    const int at = findChunk(result.written, idAndType[0], idAndType.value(1));
    if (!payload.isEmpty())
        QCOMPARE(load(out).mid(result.written.chunks.at(at).payloadOffset(), payload.size()), payload);
}

// Kernel and buffer copies give the same file, holes in the data included
// (they hash as zeros), and a cancel stops the save.
void TestChunks::copyPathsAndCancel()
{
    B b;
    b.add("fmt ", fmt16).add("iXML", "x").add("data", QByteArray(1 << 20, '\x5a'), 10 << 20);
    const QString in = save(b.bytes());
    QFile file(in);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(b.totalSize() - (1 << 20))
            && file.write(QByteArray(1 << 20, '\x33')) == 1 << 20);
    file.close();
    ChunkEdits edits;
    edits.strings[4] = "Comment";
    ChunkWriteOptions options;
    // The copy pauses at its start, so a hasher that does not wait for the
    // new file's blocks reads them before they are written.
    options.progress = [paused = false](qint64, qint64) mutable {
        if (!std::exchange(paused, true))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    };
    const QString viaKernel = path("out");
    QCOMPARE(rewrite(in, viaKernel, edits, options).status, ChunkWriteStatus::Ok);
    options.useCopyFileRange = false;
    const QString viaBuffer = path("out");
    QCOMPARE(rewrite(in, viaBuffer, edits, options).status, ChunkWriteStatus::Ok);
    QCOMPARE(load(viaBuffer), load(viaKernel));

    int calls = 0;
    options.progress = [&calls](qint64, qint64) { return ++calls < 2; };
    QCOMPARE(rewrite(in, path("out"), edits, options).status, ChunkWriteStatus::Cancelled);
    QCOMPARE(calls, 2);
}

void TestChunks::hash_data()
{
    QTest::addColumn<int>("length");
    for (int length : {0, 1, 63, 65, (1 << 20) + 5, (5 << 20) + 64})
        QTest::newRow(qPrintable(QString::number(length))) << length;
}

// The file read gives the memory value, and one changed byte changes it.
void TestChunks::hash()
{
    QFETCH(int, length);
    QByteArray bytes(length + 3, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 131 + i / 251);
    const QString p = save(bytes);
    const int fd = ::open(QFile::encodeName(p).constData(), O_RDONLY);
    const std::optional<quint64> fromFile = hashRange(fd, 3, length);
    ::close(fd);
    QVERIFY(fromFile);
    QCOMPARE(*fromFile, hashBytes(bytes.constData() + 3, length));
    if (length > 0) {
        bytes[bytes.size() - 1] = char(bytes.back() ^ 1);
        QVERIFY(hashBytes(bytes.constData() + 3, length) != *fromFile);
    }
    QVERIFY(hashBytes(bytes.constData(), length) != hashBytes(bytes.constData(), length + 1));
}

QTEST_GUILESS_MAIN(TestChunks)
#include "tst_chunks.moc"
