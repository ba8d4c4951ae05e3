// The audio's checksum: the bytes it covers in each container, compared
// with md5sum of exactly those bytes cut out of the file, and FLAC's decoded
// samples against the checksum the encoder stored.
#include "ChunkFileBuilder.h"
#include "Fixtures.h"
#include "analysis/AudioChecksum.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using B = ChunkFileBuilder;

namespace {

// md5sum of `length` bytes of the file from `offset`, cut out with dd.
QByteArray md5sumOf(const QString &path, qint64 offset, qint64 length)
{
    QProcess shell;
    shell.start("sh", {"-c", "dd if=\"$0\" bs=4M iflag=skip_bytes,count_bytes skip=$1 count=$2 status=none | md5sum",
                       path, QString::number(offset), QString::number(length)});
    shell.waitForFinished(-1);
    return QByteArray::fromHex(shell.readAllStandardOutput().left(32));
}

// Bytes no header resembles, so the test finds them in the file by search.
QByteArray pattern(int size, int seed = 7)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * seed + i / 251) % 253);
    return bytes;
}

// A WAVE_FORMAT_EXTENSIBLE file of `bits` valid bits in whole bytes, left
// justified as the format wants, for the flac command (which keeps the
// valid bits as the stream's depth).
QByteArray extensibleWav(int bits, int channels, int frames)
{
    const int width = (bits + 7) / 8;
    const quint32 masks[] = {0, 0x4, 0x3, 0, 0, 0, 0x3f};
    const QByteArray pcmGuid = QByteArray::fromHex("0100000000001000800000aa00389b71");
    const QByteArray fmt = B::le16(0xfffe) + B::le16(quint16(channels)) + B::le32(48000)
        + B::le32(quint32(48000 * channels * width)) + B::le16(quint16(channels * width)) + B::le16(quint16(width * 8))
        + B::le16(22) + B::le16(quint16(bits)) + B::le32(masks[channels]) + pcmGuid;
    QByteArray data;
    quint32 state = 12345;
    for (int i = 0; i < frames * channels; ++i) {
        state = state * 1664525u + 1013904223u;
        const quint32 value = (state >> (32 - bits)) << (width * 8 - bits);
        for (int b = 0; b < width; ++b)
            data += char(value >> (8 * b));
    }
    return B().add("fmt ", fmt).add("data", data).bytes();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestAudioChecksum : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void chunkFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("audio"); // empty: the file is refused
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("problem");
        const QByteArray fmt = B::pcmFormat(1, 8000, 8), odd = pattern(1001), even = pattern(1000, 11);
        const QByteArray md5 = "0123456789abcdef";
        QTest::newRow("WAV, odd payload: pad byte left out")
            << B().add("fmt ", fmt).add("data", odd).add("LIST", B::list("INFO", {{"INAM", "T"}})).bytes() << odd
            << QByteArray() << false;
        QTest::newRow("WAV with an MD5 chunk after the audio")
            << B().add("fmt ", fmt).add("data", even).add("MD5 ", md5).bytes() << even << md5 << false;
        QTest::newRow("WAV with an MD5 chunk of 15 bytes")
            << B().add("fmt ", fmt).add("MD5 ", md5.left(15)).add("data", even).bytes() << even << QByteArray() << true;
        QTest::newRow("AIFF, SSND with an offset of 6")
            << B(ChunkContainer::Aiff).add("COMM", B::aiffCommon(1, 1000, 8, 8000))
                   .add("SSND", B::be32(6) + B::be32(0) + "align!" + even).bytes()
            << even << QByteArray() << false;
        QTest::newRow("AIFF, SSND offset beyond the chunk")
            << B(ChunkContainer::Aiff).add("COMM", B::aiffCommon(1, 1000, 8, 8000))
                   .add("SSND", B::be32(2000) + B::be32(0) + even).bytes()
            << QByteArray() << QByteArray() << false;
        QTest::newRow("not a sound file") << QByteArray("plain text, not audio\n") << QByteArray() << QByteArray() << false;
    }
    void chunkFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, audio);
        QFETCH(QByteArray, stored);
        QFETCH(bool, problem);
        const QString path = m_dir.filePath(QTest::currentDataTag());
        QVERIFY(writeBytes(path, bytes));
        const AudioChecksum sum = computeAudioChecksum(path);
        QCOMPARE(sum.ok, !audio.isEmpty());
        QCOMPARE(sum.error.isEmpty(), sum.ok);
        if (!sum.ok)
            return;
        QCOMPARE(sum.computed, md5sumOf(path, bytes.indexOf(audio), audio.size()));
        QCOMPARE(sum.stored.md5.value_or(QByteArray()), stored);
        QCOMPARE(!sum.stored.problem.isEmpty(), problem);
        QCOMPARE(checksumVerdict(sum), stored.isEmpty() ? ChecksumVerdict::NoneStored : ChecksumVerdict::Differs);
    }

    // An RF64 data chunk across the 4 GiB boundary, its size in ds64,
    // behind two JUNK chunks left as holes of a sparse file.
    void rf64OverFourGiB()
    {
        const QByteArray audio = pattern(4 << 20);
        B builder(ChunkContainer::Rf64);
        builder.add("fmt ", B::pcmFormat(2, 48000, 16)).add("JUNK", {}, 0x7ff00000).add("JUNK", {}, 0x7ff00000);
        const QString path = m_dir.filePath("big.rf64");
        QVERIFY(builder.add("data", audio).writeSparse(path));
        const qint64 offset = builder.totalSize() - audio.size();
        QVERIFY(offset < (qint64(1) << 32) && offset + audio.size() > (qint64(1) << 32));
        const AudioChecksum sum = computeAudioChecksum(path);
        QVERIFY2(sum.ok, qPrintable(sum.error));
        QCOMPARE(sum.computed, md5sumOf(path, offset, audio.size()));
    }

    void flac_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("byLibsndfile");
        QTest::addColumn<bool>("damaged");
        QTest::newRow("flac, 8-bit mono") << 8 << 1 << false << false;
        QTest::newRow("flac, 16-bit stereo") << 16 << 2 << false << false;
        QTest::newRow("flac, 20-bit 6 channels") << 20 << 6 << false << false;
        QTest::newRow("flac, 20-bit mono") << 20 << 1 << false << false;
        QTest::newRow("flac, 24-bit stereo") << 24 << 2 << false << false;
        QTest::newRow("libsndfile, 8-bit 6 channels") << 8 << 6 << true << false;
        QTest::newRow("libsndfile, 16-bit stereo") << 16 << 2 << true << false;
        QTest::newRow("libsndfile, 24-bit mono") << 24 << 1 << true << false;
        QTest::newRow("flac, 16-bit stereo, a byte flipped") << 16 << 2 << false << true;
    }
    // The decoded samples' MD5 is the one the encoder stored, which
    // metaflac reads independently.
    void flac()
    {
        QFETCH(int, bits);
        QFETCH(int, channels);
        QFETCH(bool, byLibsndfile);
        QFETCH(bool, damaged);
        if (!fixtures::haveProgram("flac") || !fixtures::haveProgram("metaflac"))
            QSKIP("flac is not installed");
        const QString path = m_dir.filePath(QTest::currentDataTag() + QStringLiteral(".flac"));
        const int frames = 48000 * 3 + 17;
        if (byLibsndfile) {
            const int subtype = bits == 8 ? SF_FORMAT_PCM_S8 : bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
            QVERIFY(fixtures::write(path, {SF_FORMAT_FLAC | subtype, channels, 48000, frames, {}, {}}));
        } else {
            const QString wav = path + ".wav";
            QVERIFY(writeBytes(wav, extensibleWav(bits, channels, frames)));
            QCOMPARE(QProcess::execute("flac", {"-s", "-f", "-o", path, wav}), 0);
        }
        QProcess metaflac;
        metaflac.start("metaflac", {"--show-md5sum", path});
        QVERIFY(metaflac.waitForFinished());
        const QByteArray written = QByteArray::fromHex(metaflac.readAllStandardOutput().trimmed());
        if (damaged) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() / 2));
            const char byte = file.peek(1).at(0);
            QVERIFY(file.putChar(char(~byte)));
        }
        QString error;
        QCOMPARE(readStoredChecksum(path, &error)->md5.value_or(QByteArray()), written);
        const AudioChecksum sum = computeAudioChecksum(path);
        QVERIFY2(sum.ok, qPrintable(sum.error));
        QCOMPARE(checksumVerdict(sum), damaged ? ChecksumVerdict::Differs : ChecksumVerdict::Matches);
        QCOMPARE(sum.damagedFrames > 0, damaged);
    }

    // Progress climbs to 100; a cancel stops the run with nothing computed.
    void progressAndCancel()
    {
        const QString path = m_dir.filePath("progress.wav");
        QVERIFY(writeBytes(path, B().add("fmt ", B::pcmFormat(1, 8000, 8)).add("data", pattern(5 << 20)).bytes()));
        QList<double> seen;
        QVERIFY(computeAudioChecksum(path, nullptr, [&seen](double p) { seen << p; }).ok);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()) && seen.size() > 2);
        QCOMPARE(seen.last(), 100.0);
        std::atomic<bool> cancel{false};
        const AudioChecksum stopped = computeAudioChecksum(path, &cancel, [&cancel](double p) { cancel = p > 30; });
        QVERIFY(stopped.cancelled && !stopped.ok && stopped.computed.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAudioChecksum)
#include "tst_audiochecksum.moc"
