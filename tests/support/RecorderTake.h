// A field recorder's polyphonic take, built in code: its iXML chunk laid
// out as recorders lay it out, and the WAV file that carries it.
// Any thread.
#pragma once

#include <QByteArray>
#include <QStringList>

namespace recorder {

struct Layout {
    QByteArray nl = "\n"; // between elements (a line break and indentation); empty: one line
    QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    QByteArray note = "<NOTE>Wind &amp; rain &lt;3 &#233;</NOTE>";
    QByteArray extra; // more elements, after the note
};

// PROJECT (multi-byte text first, so character and byte offsets part
// early), SCENE 12A, TAKE 3, TAPE D01, CIRCLED FALSE, the note, SPEED at
// 25/1 and 48000 Hz, and a TRACK_LIST naming the tracks from CHANNEL_INDEX 1.
QByteArray ixml(const QStringList &tracks = {QStringLiteral("Boom"), QStringLiteral("Lav Ü")}, const Layout &layout = {});

// `channels` 16-bit channels at 48 kHz, each at a level of its own, and the
// iXML chunk after the audio (none when empty). A channel mask makes it
// WAVE_FORMAT_EXTENSIBLE.
QByteArray take(int channels, const QByteArray &ixml, quint32 channelMask = 0);

} // namespace recorder
