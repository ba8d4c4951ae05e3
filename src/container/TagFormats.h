// Byte-level pieces of FLAC, Ogg and MP3 files shared by the tag reader, the
// tag writer and its verification: which container a file is, Vorbis
// comments edited without reordering, and the FLAC metadata layout.
//
// Threads: plain functions on the caller's thread, no shared state.
#pragma once

#include "container/TagReader.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace TagLib {
class String;
namespace Ogg {
class File;
}
namespace ID3v2 {
class Tag;
}
} // namespace TagLib

namespace tags {

enum class Kind { None, Flac, Vorbis, Opus, Mpeg };

Kind kindOfFormat(int sfFormat);

// Opens path with libsndfile to learn its format; None with a message when
// libsndfile cannot open it.
Kind probeKind(const QString &path, QString *error);

// The Vorbis-comment key libsndfile reads for string index i (0..5).
QByteArray xiphKey(Kind kind, int i);

// A Vorbis comment as stored: entries keep their order and key spelling, and
// whatever follows the last entry (Vorbis framing bit, Opus extra data) is
// carried through untouched.
struct VorbisComment {
    QByteArray vendor;
    QList<QByteArray> entries; // "KEY=value"
    QByteArray tail;

    static std::optional<VorbisComment> parse(const QByteArray &data);
    QByteArray render() const;
    // First or last value of key, compared without case.
    std::optional<QByteArray> value(const QByteArray &key, bool last) const;
    // Replaces the first entry of key in place and drops the others, or
    // appends one; an empty value removes every entry of key.
    void set(const QByteArray &key, const QByteArray &value);
};

// Key of a "KEY=value" entry, upper-cased.
QByteArray entryKey(const QByteArray &entry);

struct FlacBlock {
    int type = 0;
    qint64 offset = 0; // of the 4-byte block header
    qint64 length = 0;
};

struct FlacLayout {
    qint64 markerEnd = 0;  // just past "fLaC" (after any ID3v2 tag in front)
    qint64 audioStart = 0; // just past the last metadata block
    QList<FlacBlock> blocks;
};

enum FlacBlockType { kStreamInfo = 0, kPadding = 1, kVorbisComment = 4, kPicture = 6 };

std::optional<FlacLayout> readFlacLayout(QFile &file, QString *error);
QByteArray readBlockData(QFile &file, const FlacBlock &block);

// The comment of a FLAC (first VORBIS_COMMENT block) or Ogg file (second
// packet, without its "\x03vorbis" / "OpusTags" magic).
std::optional<VorbisComment> readComment(const QString &path, Kind kind);

// TagLib's text as UTF-8; nullopt when empty.
std::optional<QByteArray> fromTString(const TagLib::String &text);
// TagLib reads the frames of an ID3v2.2 tag under their 2.4 names but
// leaves the date, time and size under their 2.2 names (TDA, TIM, TSI) and
// drops them when it writes. This gives them their 2.3 names and folds the
// date and time into TDRC as TagLib does reading 2.3, so a 2.2 tag reads,
// compares and is written as the 2.3 tag it becomes. Other tags stay as they
// are.
void completeId3v22(TagLib::ID3v2::Tag *tag);
// The magic in front of an Ogg comment packet.
QByteArray oggMagic(Kind kind);
// TagLib's reader/writer of an Ogg Vorbis or Opus file (without audio
// properties).
std::unique_ptr<TagLib::Ogg::File> openOgg(const QString &path, Kind kind);

} // namespace tags
