// Writes the chunk fuzzer's seed corpus into the folder given: a WAV with
// INFO, bext, iXML and cue labels, one with room for the edits in padding
// and after the audio, an RF64, an AIFF-C with MARK and COMT, and an AIFF
// with the text chunks libsndfile uses.
#include "ChunkFileBuilder.h"

#include <QDir>
#include <QFile>

#include <cstdio>

using B = ChunkFileBuilder;

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    const QByteArray audio = QByteArray(64, '\x40');
    const QByteArray cue = B::le32(1) + B::le32(7) + B::le32(0) + "data" + B::le32(0) + B::le32(0) + B::le32(3);
    const QList<QPair<QString, QByteArray>> seeds{
        {"info-bext-ixml.wav",
         B().add("fmt ", B::pcmFormat(2, 48000, 16))
             .add("bext", B::bext("seed", "A=PCM\r\n"))
             .add("LIST", B::list("INFO", {{"INAM", QByteArray("t\0", 2)}, {"IGNR", QByteArray("g\0", 2)}}))
             .add("iXML", "<BWFXML/>")
             .add("cue ", cue)
             .add("LIST", B::list("adtl", {{"labl", B::le32(7) + QByteArray("m\0", 2)}}))
             .add("odd!", "xyz")
             .add("data", audio)
             .bytes()},
        {"room.wav",
         B().add("fmt ", B::pcmFormat(2, 48000, 16))
             .add("LIST", B::list("INFO", {{"INAM", QByteArray("t\0", 2)}, {"IART", QByteArray("someone\0", 8)}}))
             .add("JUNK", QByteArray(256, '\0'))
             .add("data", audio)
             .add("bext", B::bext("seed", "A=PCM\r\n"))
             .bytes()},
        {"plain.rf64", B(ChunkContainer::Rf64).add("fmt ", B::pcmFormat(1, 8000, 8)).add("data", audio).bytes()},
        {"marks.aifc",
         B(ChunkContainer::Aifc)
             .add("FVER", B::be32(0xA2805140))
             .add("COMM", B::aiffCommon(1, 32, 16, 8000, "NONE"))
             .add("MARK", B::be16(1) + B::be16(1) + B::be32(2) + QByteArray("\x01m", 2))
             .add("COMT", B::be16(1) + B::be32(0) + B::be16(1) + B::be16(2) + "hi")
             .add("SSND", QByteArray(8, '\0') + audio)
             .bytes()},
        {"text.aiff",
         B(ChunkContainer::Aiff)
             .add("COMM", B::aiffCommon(1, 32, 16, 8000))
             .add("NAME", "n").add("AUTH", "au").add("APPL", "m3gasoft")
             .add("SSND", QByteArray(8, '\0') + audio)
             .bytes()},
    };
    for (const auto &[name, bytes] : seeds) {
        QFile f(folder + '/' + name);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
    }
    return 0;
}
