// The audio of an MPEG file (MP3, and Layer I and II): where its frames lie
// between the tags, what their headers say, and how many samples they decode
// to, read from a Xing/Info or VBRI header or else by counting frame headers.
// Nothing is decoded. libsndfile estimates the length of a file without such
// a header from its size, tags included, so a tag that grows moves its count;
// this one is a property of the audio alone.
//
// Reentrant and stateless: any thread, as long as the ByteSource is not used
// by another thread at the same time.
#pragma once

#include "container/ChunkList.h"

#include <optional>

struct MpegHeader {
    enum Version { Mpeg1 = 1, Mpeg2 = 2, Mpeg25 = 25 };
    int version = 0;
    int layer = 0;      // 1, 2 or 3
    int bitrate = 0;    // kbit/s; 0 for free format
    int samplerate = 0;
    int channelMode = 0; // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
    bool padded = false;
    bool crc = false;

    int channels() const { return channelMode == 3 ? 1 : 2; }
    int samplesPerFrame() const;
    // Bytes of the frame with its header; 0 for free format, whose length
    // only the next frame's header tells.
    int frameBytes() const;
    // What every frame of one stream has in common.
    bool sameStream(const MpegHeader &o) const
    {
        return version == o.version && layer == o.layer && samplerate == o.samplerate;
    }
};

// The frame header in the four bytes at p, or nullopt when they hold none
// (no sync, a reserved version, layer, rate or emphasis, a bad bitrate).
std::optional<MpegHeader> parseMpegHeader(const uchar *p);

// Where the ID3v2 tags at the start of a file end (0 when there are none).
qint64 id3v2TagsEnd(const ByteSource &file);

struct MpegStream {
    enum class Length { Unknown, Xing, Vbri, Counted };

    qint64 audioStart = 0; // after the ID3v2 tags in front
    qint64 audioEnd = 0;   // before the ID3v1, APE and Lyrics3 tags at the end
    qint64 firstFrame = -1; // the first complete frame (a Xing or VBRI frame too); -1: none
    // A frame header whose frame the file ends inside of, when there is no
    // complete frame; -1 otherwise.
    qint64 cutFrame = -1;
    MpegHeader header;     // the first frame's
    Length length = Length::Unknown;
    qint64 frames = 0;     // frames of audio, without a Xing or VBRI frame
    int encoderDelay = 0;  // samples the LAME tag says to drop at the start
    int encoderPadding = 0; // and at the end
    qint64 samples = 0;    // what the frames decode to, per channel
    qint64 skippedBytes = 0; // between frames, that belong to none
};

// Reads the stream's layout. A Xing or VBRI frame count is taken when it is
// possible for the bytes there are; otherwise every frame is counted, over
// junk between frames (resynchronising on two consecutive headers of the
// stream) and free-format frames. A frame cut by the end of the file is not
// counted: the decoder drops it too.
MpegStream readMpegStream(const ByteSource &file);

// The samples per channel the file's MPEG audio decodes to, when its frames
// say so and agree with the rate and channel count libsndfile reports.
std::optional<qint64> mpegSampleFrames(const ByteSource &file, int samplerate, int channels);
