#include "container/MpegStream.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// kbit/s by [MPEG-2 or 2.5][layer - 1][index]; index 0 is free format.
constexpr short kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr int kMpeg1Rates[3] = {44100, 48000, 32000};

// No frame is smaller; a Xing count that needs more bytes than there are is
// no count.
constexpr qint64 kSmallestFrame = 24;
// A free-format frame is at most this long (640 kbit/s at 8 kHz).
constexpr qint64 kLongestFreeFrame = 5760;
// Measuring a free-format frame searches that far; junk full of false
// free-format headers must not make every byte such a search.
constexpr int kFreeFormatTries = 16;

// Reads the file through a window of it: one system call per frame header
// would make a long file slow.
class Window {
public:
    static constexpr int kMaxRead = 256;

    explicit Window(const ByteSource &source) : m_source(source), m_size(std::max<qint64>(source.size(), 0)) {}
    qint64 size() const { return m_size; }

    // n bytes (at most kMaxRead) at pos; null past the end or on an error.
    const uchar *at(qint64 pos, int n)
    {
        if (pos < 0 || n < 0 || n > kMaxRead || pos > m_size - n)
            return nullptr;
        if (pos < m_start || pos + n > m_start + m_length) {
            const qint64 length = std::min<qint64>(kWindow, m_size - pos);
            m_buffer.resize(size_t(kWindow));
            m_start = pos;
            m_length = m_source.read(pos, m_buffer.data(), length) ? length : 0;
            if (m_length < n)
                return nullptr;
        }
        return m_buffer.data() + (pos - m_start);
    }

private:
    static constexpr qint64 kWindow = 64 << 10;
    const ByteSource &m_source;
    const qint64 m_size;
    std::vector<uchar> m_buffer;
    qint64 m_start = 0;
    qint64 m_length = 0;
};

quint32 synchsafe(const uchar *p)
{
    return quint32(p[0] & 0x7f) << 21 | quint32(p[1] & 0x7f) << 14 | quint32(p[2] & 0x7f) << 7 | (p[3] & 0x7f);
}

// Where the tags at the end of the audio begin: ID3v1, APEv2 (with or
// without its header), Lyrics3 v2 and an ID3v2 tag with a footer, in any
// order, none reaching below floor.
qint64 trailingTagsStart(Window &w, qint64 floor)
{
    qint64 end = w.size();
    for (bool found = true; found;) {
        found = false;
        qint64 start = end;
        if (const uchar *b = w.at(end - 128, 3); b && std::memcmp(b, "TAG", 3) == 0) {
            start = end - 128;
        } else if (const uchar *b = w.at(end - 32, 32); b && std::memcmp(b, "APETAGEX", 8) == 0) {
            const qint64 size = qFromLittleEndian<quint32>(b + 12);
            const bool header = qFromLittleEndian<quint32>(b + 20) & 0x80000000u;
            start = size >= 32 ? end - size - (header ? 32 : 0) : end;
        } else if (const uchar *b = w.at(end - 15, 15); b && std::memcmp(b + 6, "LYRICS200", 9) == 0) {
            bool ok = false;
            const qint64 size = QByteArray(reinterpret_cast<const char *>(b), 6).toLongLong(&ok);
            const uchar *begin = ok && size >= 11 ? w.at(end - 15 - size, 11) : nullptr;
            start = begin && std::memcmp(begin, "LYRICSBEGIN", 11) == 0 ? end - 15 - size : end;
        } else if (const uchar *b = w.at(end - 10, 10); b && std::memcmp(b, "3DI", 3) == 0) {
            const qint64 total = qint64(synchsafe(b + 6)) + 20;
            const uchar *head = w.at(end - total, 3);
            start = head && std::memcmp(head, "ID3", 3) == 0 ? end - total : end;
        }
        if (start >= floor && start < end) {
            end = start;
            found = true;
        }
    }
    return end;
}

class Scanner {
public:
    Scanner(Window &w, qint64 end) : m_w(w), m_end(end) {}

    // Bytes of the frame at pos, or 0 when they cannot be told.
    qint64 frameLength(qint64 pos, const MpegHeader &h)
    {
        if (h.bitrate)
            return h.frameBytes();
        const int pad = h.padded ? (h.layer == 1 ? 4 : 1) : 0;
        if (m_freeBytes)
            return m_freeBytes + pad;
        if (m_freeTries >= kFreeFormatTries)
            return 0;
        ++m_freeTries;
        // Free format: the next header of the stream, also free, ends it.
        for (qint64 q = pos + 4; q + 4 <= m_end && q - pos <= kLongestFreeFrame + 4; ++q) {
            const uchar *b = m_w.at(q, 4);
            const auto next = b && b[0] == 0xff ? parseMpegHeader(b) : std::nullopt;
            if (next && next->sameStream(h) && next->bitrate == 0) {
                m_freeBytes = q - pos - pad;
                return q - pos;
            }
        }
        return 0;
    }

    // The first frame from `from` on that belongs to a stream (to `like`'s,
    // when given): another header of that stream follows it, or it ends
    // where the audio ends. *cut gets the first header whose frame the end
    // cuts, when asked for.
    std::optional<std::pair<qint64, MpegHeader>> find(qint64 from, const MpegHeader *like, qint64 *cut)
    {
        for (qint64 p = from; p + 4 <= m_end; ++p) {
            const uchar *b = m_w.at(p, 4);
            if (!b)
                return std::nullopt;
            const auto h = b[0] == 0xff ? parseMpegHeader(b) : std::nullopt;
            if (!h || (like && !like->sameStream(*h)))
                continue;
            const qint64 length = frameLength(p, *h);
            if (length <= 0)
                continue;
            if (p + length > m_end) {
                if (cut && *cut < 0)
                    *cut = p;
                continue;
            }
            const uchar *n = p + length == m_end ? nullptr : m_w.at(p + length, 4);
            const auto next = n ? parseMpegHeader(n) : std::nullopt;
            if (p + length == m_end || (next && next->sameStream(*h)))
                return std::make_pair(p, *h);
        }
        return std::nullopt;
    }

    // Frames from pos to the end; junk between them is skipped and counted
    // in *skipped.
    qint64 count(qint64 pos, const MpegHeader &stream, qint64 *skipped)
    {
        qint64 frames = 0;
        while (pos < m_end) {
            const uchar *b = m_w.at(pos, 4);
            const auto h = b ? parseMpegHeader(b) : std::nullopt;
            if (h && h->sameStream(stream)) {
                const qint64 length = frameLength(pos, *h);
                if (length > 0 && pos + length <= m_end) {
                    ++frames;
                    pos += length;
                    continue;
                }
                if (length > 0)
                    break; // the last frame, cut short
            }
            const auto next = find(pos + 1, &stream, nullptr);
            *skipped += (next ? next->first : m_end) - pos;
            if (!next)
                break;
            pos = next->first;
        }
        return frames;
    }

private:
    Window &m_w;
    const qint64 m_end;
    qint64 m_freeBytes = 0; // a free-format frame without padding, once measured
    int m_freeTries = 0;
};

struct InfoFrame {
    MpegStream::Length kind = MpegStream::Length::Unknown;
    bool present = false; // a Xing/Info or VBRI frame, with or without a count
    qint64 frames = 0;
    int delay = 0;
    int padding = 0;
};

// Reads the LAME tag's encoder delay and padding at p: only encoders known
// to write them there are trusted.
void readLameTag(const uchar *p, InfoFrame *info)
{
    static const char *const encoders[] = {"LAME", "L3.99", "Lavf", "Lavc", "GOGO"};
    for (const char *name : encoders) {
        if (std::memcmp(p, name, std::strlen(name)) == 0) {
            info->delay = p[21] << 4 | p[22] >> 4;
            info->padding = (p[22] & 0x0f) << 8 | p[23];
            return;
        }
    }
}

// A Xing/Info or VBRI header in the first frame (Layer III only).
InfoFrame readInfoFrame(Window &w, qint64 frame, const MpegHeader &h, qint64 length)
{
    InfoFrame info;
    if (h.layer != 3)
        return info;
    const int side = h.version == MpegHeader::Mpeg1 ? (h.channels() == 1 ? 17 : 32) : (h.channels() == 1 ? 9 : 17);
    const qint64 xing = frame + 4 + (h.crc ? 2 : 0) + side;
    const int room = int(std::min<qint64>(Window::kMaxRead, frame + length - xing));
    if (const uchar *b = w.at(xing, std::max(room, 0)); b && room >= 8
        && (std::memcmp(b, "Xing", 4) == 0 || std::memcmp(b, "Info", 4) == 0)) {
        info.present = true;
        const quint32 flags = qFromBigEndian<quint32>(b + 4);
        int at = 8;
        if ((flags & 1) && at + 4 <= room) {
            info.frames = qFromBigEndian<quint32>(b + at);
            info.kind = MpegStream::Length::Xing;
        }
        at += (flags & 1 ? 4 : 0) + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
        if (at + 24 <= room)
            readLameTag(b + at, &info);
        return info;
    }
    // VBRI sits 32 bytes after the header, whatever the channels.
    if (const uchar *b = w.at(frame + 36, 18); b && length >= 36 + 18 && std::memcmp(b, "VBRI", 4) == 0) {
        info.present = true;
        info.frames = qFromBigEndian<quint32>(b + 14);
        info.kind = MpegStream::Length::Vbri;
    }
    return info;
}

} // namespace

int MpegHeader::samplesPerFrame() const
{
    return layer == 1 ? 384 : layer == 2 || version == Mpeg1 ? 1152 : 576;
}

int MpegHeader::frameBytes() const
{
    if (bitrate <= 0 || samplerate <= 0)
        return 0;
    if (layer == 1)
        return (12 * bitrate * 1000 / samplerate + (padded ? 1 : 0)) * 4;
    return samplesPerFrame() / 8 * bitrate * 1000 / samplerate + (padded ? 1 : 0);
}

std::optional<MpegHeader> parseMpegHeader(const uchar *p)
{
    const int versionBits = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    if (p[0] != 0xff || (p[1] & 0xe0) != 0xe0 || versionBits == 1 || layerBits == 0 || bitrateIndex == 15
        || rateIndex == 3 || (p[3] & 3) == 2)
        return std::nullopt;
    MpegHeader h;
    h.version = versionBits == 3 ? MpegHeader::Mpeg1 : versionBits == 2 ? MpegHeader::Mpeg2 : MpegHeader::Mpeg25;
    h.layer = 4 - layerBits;
    h.bitrate = kBitrates[h.version == MpegHeader::Mpeg1 ? 0 : 1][h.layer - 1][bitrateIndex];
    h.samplerate = kMpeg1Rates[rateIndex] >> (h.version == MpegHeader::Mpeg1 ? 0 : h.version == MpegHeader::Mpeg2 ? 1 : 2);
    h.channelMode = p[3] >> 6;
    h.padded = p[2] & 2;
    h.crc = !(p[1] & 1);
    return h;
}

qint64 id3v2TagsEnd(const ByteSource &file)
{
    const qint64 size = file.size();
    qint64 pos = 0;
    uchar h[10];
    while (pos <= size - 10 && file.read(pos, h, 10) && std::memcmp(h, "ID3", 3) == 0)
        pos += 10 + qint64(synchsafe(h + 6)) + ((h[5] & 0x10) ? 10 : 0);
    return std::min(pos, std::max<qint64>(size, 0));
}

MpegStream readMpegStream(const ByteSource &file)
{
    Window w(file);
    MpegStream s;
    s.audioStart = id3v2TagsEnd(file);
    s.audioEnd = trailingTagsStart(w, s.audioStart);
    Scanner scanner(w, s.audioEnd);
    const auto first = scanner.find(s.audioStart, nullptr, &s.cutFrame);
    if (!first)
        return s;
    s.cutFrame = -1;
    s.firstFrame = first->first;
    s.header = first->second;
    const qint64 firstLength = scanner.frameLength(s.firstFrame, s.header);
    const InfoFrame info = readInfoFrame(w, s.firstFrame, s.header, firstLength);
    const qint64 audio = info.present ? s.firstFrame + firstLength : s.firstFrame;
    if (info.kind != MpegStream::Length::Unknown && info.frames > 0
        && info.frames <= (s.audioEnd - audio) / kSmallestFrame + 1) {
        s.length = info.kind;
        s.frames = info.frames;
    } else {
        s.length = MpegStream::Length::Counted;
        s.frames = scanner.count(audio, s.header, &s.skippedBytes);
    }
    const qint64 decoded = s.frames * s.header.samplesPerFrame();
    if (info.delay + info.padding < decoded) {
        s.encoderDelay = info.delay;
        s.encoderPadding = info.padding;
    }
    s.samples = decoded - s.encoderDelay - s.encoderPadding;
    return s;
}

std::optional<qint64> mpegSampleFrames(const ByteSource &file, int samplerate, int channels)
{
    const MpegStream s = readMpegStream(file);
    if (s.firstFrame < 0 || s.header.samplerate != samplerate || s.header.channels() != channels)
        return std::nullopt;
    return s.samples;
}
