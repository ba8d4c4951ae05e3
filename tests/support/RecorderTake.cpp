#include "RecorderTake.h"

#include "ChunkFileBuilder.h"

namespace recorder {

QByteArray ixml(const QStringList &tracks, const Layout &layout)
{
    const QByteArray &nl = layout.nl;
    const QByteArray in = nl.isEmpty() ? QByteArray() : nl + '\t';
    QByteArray list = in + "<TRACK_COUNT>" + QByteArray::number(tracks.size()) + "</TRACK_COUNT>";
    for (int i = 0; i < tracks.size(); ++i) {
        const QByteArray index = QByteArray::number(i + 1);
        list += in + "<TRACK>" + in + "\t<CHANNEL_INDEX>" + index + "</CHANNEL_INDEX>" + in + "\t<INTERLEAVE_INDEX>"
              + index + "</INTERLEAVE_INDEX>" + in + "\t<NAME>" + tracks[i].toUtf8() + "</NAME>" + in + "</TRACK>";
    }
    return layout.head + nl + "<BWFXML>" + nl + "<IXML_VERSION>1.61</IXML_VERSION>" + nl
         + "<PROJECT>N\xc3\xa4" "chte \xf0\x9f\x8e\xac</PROJECT>" + nl + "<SCENE>12A</SCENE>" + nl + "<TAKE>3</TAKE>"
         + nl + "<TAPE>D01</TAPE>" + nl + "<CIRCLED>FALSE</CIRCLED>" + nl + layout.note + layout.extra + nl
         + "<SPEED><TIMECODE_RATE>25/1</TIMECODE_RATE><FILE_SAMPLE_RATE>48000</FILE_SAMPLE_RATE></SPEED>" + nl
         + "<TRACK_LIST>" + list + nl + "</TRACK_LIST>" + nl + "</BWFXML>" + nl;
}

QByteArray take(int channels, const QByteArray &ixml, quint32 channelMask)
{
    using B = ChunkFileBuilder;
    QByteArray format = B::pcmFormat(channels, 48000, 16);
    if (channelMask) {
        // WAVE_FORMAT_EXTENSIBLE: valid bits, the mask, the PCM sub-format.
        format.replace(0, 2, B::le16(0xfffe));
        format += B::le16(22) + B::le16(16) + B::le32(channelMask)
                + QByteArray::fromHex("0100000000001000800000aa00389b71");
    }
    QByteArray audio;
    for (int frame = 0; frame < 4800; ++frame)
        for (int c = 0; c < channels; ++c)
            audio += B::le16(quint16((frame % 2 ? 1 : -1) * 1000 * (c + 1)));
    B file;
    file.add("fmt ", format).add("data", audio);
    if (!ixml.isEmpty())
        file.add("iXML", ixml);
    return file.bytes();
}

} // namespace recorder
