#include "InPlaceFixtures.h"

#include "EngineFixtures.h"
#include "filelogic/SaveJournal.h"
#include "rewrite/ChunkSave.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

namespace fixtures {

namespace {

// The ID3v2.3 tag at the start with `padding` zeros after its frames.
QByteArray withId3Padding(const QByteArray &file, int padding)
{
    const auto *b = reinterpret_cast<const uchar *>(file.constData());
    const qint64 end = 10 + ((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9]);
    qint64 at = 10;
    while (at + 10 <= end && file[at] != '\0')
        at += 10 + qFromBigEndian<quint32>(b + at + 4);
    QByteArray tag = file.left(at) + QByteArray(padding, '\0');
    for (int i = 0; i < 4; ++i)
        tag[6 + i] = char(((tag.size() - 10) >> (7 * (3 - i))) & 0x7f);
    return tag + file.mid(end);
}

} // namespace

QByteArray chunkFile(ChunkContainer container, const QStringList &chunks)
{
    const bool aiff = container == ChunkContainer::Aiff;
    QByteArray audio(400, '\0');
    for (int i = 0; i < audio.size(); ++i)
        audio[i] = char(i * 7 + 1);
    ChunkFileBuilder b(container);
    b.add(aiff ? "COMM" : "fmt ", aiff ? ChunkFileBuilder::aiffCommon(2, 100, 16, 48000) : ChunkFileBuilder::pcmFormat(2, 48000, 16));
    for (const QString &chunk : chunks) {
        const QByteArray id = chunk.section(u':', 0, 0).toLatin1().leftJustified(4, ' ');
        const QByteArray arg = chunk.section(u':', 1).toUtf8();
        if (id == "data" || id == "SSND")
            b.add(aiff ? "SSND" : "data", aiff ? QByteArray(8, '\0') + audio : audio);
        else if (id == "LIST")
            b.add(id, ChunkFileBuilder::list("INFO", {{"INAM", arg + '\0'}}));
        else if (id == "NAME")
            b.add(id, arg);
        else
            b.add(id, QByteArray(arg.toInt(), '\0'));
    }
    return b.bytes();
}

QString chunkLayout(const QString &path)
{
    QString error;
    const std::optional<ChunkList> list = readChunksOf(path, &error);
    QStringList out;
    for (const Chunk &c : list ? list->chunks : QList<Chunk>())
        if (c.depth == 0)
            out << QStringLiteral("%1 %2").arg(QString::fromLatin1(c.id).trimmed()).arg(c.size);
    return list ? out.join(u'|') : error;
}

QByteArray mediaFile(const QString &kind, const QString &folder)
{
    const QString path = folder + QStringLiteral("/made-") + kind;
    if (kind == QLatin1String("flac-plain")) {
        Spec spec{SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 48000, 4800, {}, {}};
        spec.strings[0] = QByteArray("Old title");
        return write(path, spec) ? fileBytes(path) : QByteArray();
    }
    const bool mp3 = kind.startsWith(QLatin1String("mp3"));
    QStringList args{"-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=1:c=pink:r=44100:a=0.3", "-ac", "2",
                     "-metadata", "title=Old title", "-f", mp3 ? QStringLiteral("mp3") : kind};
    if (kind == QLatin1String("ogg"))
        args << "-c:a" << "libvorbis";
    if (mp3)
        args << "-c:a" << "libmp3lame" << "-id3v2_version" << (kind == QLatin1String("mp3-v1") ? "0" : "3")
             << "-write_id3v1" << (kind == QLatin1String("mp3-v1") ? "1" : "0");
    if (QProcess::execute(QStringLiteral("ffmpeg"), args << path) != 0)
        return {};
    const QByteArray bytes = fileBytes(path);
    if (kind == QLatin1String("mp3") || kind == QLatin1String("mp3-bare"))
        return withId3Padding(bytes, kind == QLatin1String("mp3") ? 256 : 0);
    return bytes;
}

SaveEngine textSave(const QString &path, const QByteArray &value, int index)
{
    SF_INFO info{};
    if (SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info))
        sf_close(f);
    SaveEngine engine;
    engine.inPlace = true;
    StringBytes strings;
    strings[size_t(index)] = value;
    if (chunkSaveSupported(info.format))
        engine.chunks = ChunkSaveJob{path, path, info, strings, {}, std::nullopt, false};
    else
        engine.copy = CopySaveJob{path, path, info, strings};
    return engine;
}

QString journalPath(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + u'/' + QFile::decodeName(journalNameFor(QFile::encodeName(info.fileName())));
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace fixtures
