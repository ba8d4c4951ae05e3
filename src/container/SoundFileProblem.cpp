#include "container/SoundFileProblem.h"

#include "container/MpegStream.h"

#include <QCoreApplication>
#include <QtEndian>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SoundFileProblem", text);
}

// The fewest bytes the format chunk of this file needs: the fixed fields,
// and for WAVE_FORMAT_EXTENSIBLE its extension.
qint64 formatChunkNeeds(const ByteSource &file, const ChunkList &list, const Chunk &format)
{
    if (list.isAiff())
        return list.container == ChunkContainer::Aifc ? 22 : 18;
    uchar tag[2] = {};
    const bool extensible = format.size >= 2 && file.read(format.payloadOffset(), tag, 2)
        && qFromLittleEndian<quint16>(tag) == 0xfffe;
    return extensible ? 40 : 16;
}

QString chunkProblem(const ByteSource &file)
{
    QString why;
    const std::optional<ChunkList> list = readChunkList(file, &why);
    if (!list)
        return why;
    const Chunk &format = list->chunks.at(list->formatIndex);
    const qint64 needs = formatChunkNeeds(file, *list, format);
    if (format.size < needs)
        return tr("The “%1” chunk holds %2 bytes, fewer than the %3 its format needs.")
            .arg(QString::fromLatin1(format.id).trimmed()).arg(format.size).arg(needs);
    return {};
}

QString mpegProblem(const ByteSource &file, bool tagged, bool namedMpeg)
{
    const MpegStream s = readMpegStream(file);
    if (s.firstFrame >= 0 || !(tagged || namedMpeg || (s.cutFrame >= 0 && s.cutFrame == s.audioStart)))
        return {};
    if (s.cutFrame >= 0)
        return tr("The first MPEG audio frame is cut short: the file ends inside it.");
    if (tagged && s.audioStart >= s.audioEnd)
        return tr("The file holds an ID3 tag and no audio after it.");
    return tagged ? tr("No MPEG audio frames follow the file's ID3 tag.") : tr("No MPEG audio frames were found in the file.");
}

} // namespace

QString soundFileProblem(const ByteSource &file, bool namedMpeg)
{
    const qint64 size = file.size();
    if (size == 0)
        return tr("The file is empty.");
    if (chunkContainerOf(file))
        return chunkProblem(file);
    char id3[3] = {};
    return mpegProblem(file, file.read(0, id3, 3) && QByteArray(id3, 3) == "ID3", namedMpeg);
}
