// Tag saves for FLAC, Ogg Vorbis, Ogg Opus and MP3 that edit the six strings
// in place instead of re-encoding through libsndfile: every other comment,
// frame, picture, seek table, padding and the vendor string stay as they
// were, and the audio bytes are not touched.
//
// A save is: copy the file beside the target, writeTags on the copy, flush,
// verifyAudioUnchanged + verifyTagsWritten, rename over the target.
//
// Threads: every function runs on any one thread and shares no state, but
// two calls must not work on the same file at once. All block on file I/O
// (the verifications read whole files), so large files belong off the GUI
// thread.
#pragma once

#include "container/TagReader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace TagLib::ID3v2 {
class Tag;
}

namespace rewrite {

// Index = libsndfile string id - 1: title, copyright, software, artist,
// comment, date. nullopt leaves a string as it is, a value sets it (UTF-8),
// an empty value removes it.
using TagEdits = TagStrings;

// Edits only the given strings of the file at copyPath, in place (a copy
// the caller made). MP3 keeps its ID3v2 version (2.2 is written as 2.3) and
// an ID3v1 tag is updated only where one exists. False with a message in
// *error when the file is read-only, not one of the formats above, or the
// write fails; the copy is then to be thrown away.
bool writeTags(const QString &copyPath, const TagEdits &edits, QString *error);

// The ID3v2 major version a tag save writes over a tag of version `found`
// (0: the file has none): 3 and 4 stay as they are, 2, which TagLib cannot
// write, becomes 3, and a new tag is 4.
int id3v2VersionToWrite(int found);

// What a tag save of the file at path (of libsndfile format `format`) has
// to tell the user besides its success: that an MP3's ID3v2.2 tag will be
// written as ID3v2.3. Empty otherwise.
QString tagSaveNote(const QString &path, int format);

// The tags writeTags would give an MP3, rendered without writing anything,
// for a save into the file itself: the ID3v2 tag at its start padded with
// zeros to the size the old one had with its padding, and the ID3v1 tag
// that ends it, each only where the file has one. nullopt with *why when
// the new ID3v2 tag does not fit, the edits need one the file does not have,
// the old tag is not one that is rewritten as it stands (a footer, an
// extended header, unsynchronisation, version 2.2), or TagLib would not
// write back every value the edits leave alone (see untouchedId3Values).
struct MpegTagBytes {
    std::optional<QByteArray> id3v2; // from the file's first byte
    std::optional<QByteArray> id3v1; // its last 128 bytes
};
std::optional<MpegTagBytes> renderMpegTags(const QString &path, const TagEdits &edits, QString *why);

// The values of the ID3v2 frames the edits leave alone, whichever version
// holds them, sorted: what a tag save must keep. TagLib leaves out frames it
// does not write (2.3's RVAD, EQUA, TSIZ, TRDA), which shows here.
QList<QByteArray> untouchedId3Values(TagLib::ID3v2::Tag *tag, const TagEdits &edits);

// Proves that edited holds the same audio as original: libsndfile sees the
// same format, channels and rate, and the same frames but for MP3 (where
// libsndfile estimates them from the file's size); FLAC has the same
// STREAMINFO and frame bytes, Ogg the same audio packets, MP3 the same bytes
// between the tags, header fields and length, and the same APE and Lyrics3
// tags. Reads each file once, an MP3 twice (its frame headers, then the
// bytes).
bool verifyAudioUnchanged(const QString &original, const QString &edited, QString *error);

// Checks that edited reads back the intended strings (libsndfile for FLAC,
// readTags for the others) and that every other tag, picture and metadata
// block is still there as in original: for MP3, every other ID3v2 frame's
// value, whichever version stores it, and the ID3v1 fields.
bool verifyTagsWritten(const QString &original, const QString &edited, const TagEdits &edits,
                       QString *error);

// Tags and pictures of a FLAC, Ogg or MP3 source that a libsndfile
// conversion to targetFormat drops, in words ("picture", "ALBUM",
// "REPLAYGAIN_TRACK_GAIN"). Empty for other sources.
QStringList tagsNotCarried(const QString &path, int targetFormat);

} // namespace rewrite
