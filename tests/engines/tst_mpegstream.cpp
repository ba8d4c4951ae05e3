// The MPEG stream reader on frames built here (a header, then zeros): the
// samples they decode to, through every layer and version, tags at both
// ends, junk between frames, free format and the Xing, LAME and VBRI
// headers. Real encoders' files are in the document's tag save tests.
#include "container/MpegStream.h"

#include <QTest>

namespace {

// count frames of `length` bytes after the 4-byte header; the first takes
// `first` after its header instead of zeros, padded to the length.
QByteArray frames(const QByteArray &header, int length, int count, const QByteArray &first = {})
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += header + (i ? QByteArray() : first) + QByteArray(length - 4 - (i ? 0 : first.size()), '\0');
    return out;
}

} // namespace

class TestMpegStream : public QObject {
    Q_OBJECT

private slots:
    void samples_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("samples");
        const QByteArray mpeg1("\xff\xfb\x90\0", 4), mpeg2("\xff\xf3\x80\xc0", 4), mpeg25("\xff\xe3\x18\xc0", 4);
        const QByteArray side(32, '\0'), be8("\0\0\0\x08", 4);
        const QByteArray lame = side + "Xing" + QByteArray("\0\0\0\1", 4) + be8 + "LAME3.100" + QByteArray(12, '\0') + "\x24\x03\xe8";
        const QByteArray ape = "APETAGEX" + QByteArray("\xd0\x07\0\0\x20\0\0\0\0\0\0\0\0\0\0\0", 16) + QByteArray(8, '\0');
        QTest::newRow("MPEG-1 Layer III") << frames(mpeg1, 417, 10) << qint64(11520);
        QTest::newRow("MPEG-2 between ID3v2 and ID3v1") << QByteArray("ID3\4\0\0\0\0\0\0", 10) + frames(mpeg2, 208, 10) + "TAG" + QByteArray(125, 'x') << qint64(5760);
        QTest::newRow("MPEG-2.5, junk between frames, APE tag") << frames(mpeg25, 72, 5) + "junk!" + frames(mpeg25, 72, 5) + ape << qint64(5760);
        QTest::newRow("Layer II") << frames(QByteArray("\xff\xfd\xa4\0", 4), 576, 10) << qint64(11520);
        QTest::newRow("Layer I") << frames(QByteArray("\xff\xff\xc4\0", 4), 384, 10) << qint64(3840);
        QTest::newRow("free format") << frames(QByteArray("\xff\xfb\0\0", 4), 300, 10) << qint64(11520);
        QTest::newRow("Xing count less LAME delay and padding") << frames(mpeg1, 417, 9, lame) << qint64(8 * 1152 - 576 - 1000);
        QTest::newRow("VBRI count") << frames(mpeg1, 417, 4, side + "VBRI" + QByteArray(10, '\0') + be8) << qint64(8 * 1152);
        QTest::newRow("Xing count the bytes cannot hold") << frames(mpeg1, 417, 3, side + "Xing" + QByteArray("\0\0\0\1\0\1\0\0", 8)) << qint64(2 * 1152);
        QTest::newRow("last frame cut") << frames(mpeg1, 417, 4).chopped(100) << qint64(3 * 1152);
    }
    void samples()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, samples);
        QCOMPARE(readMpegStream(MemoryByteSource(bytes)).samples, samples);
    }
};

QTEST_GUILESS_MAIN(TestMpegStream)
#include "tst_mpegstream.moc"
