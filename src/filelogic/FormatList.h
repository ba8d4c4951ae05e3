// libsndfile's list of container (major) formats and, for one of them, the
// subtypes it can write.
//
// Only libsndfile's static format tables are queried: reentrant, callable
// from any thread.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct FormatEntry {
    int format = 0;     // major type, or major type | subtype for subformats
    QString name;       // libsndfile's description, e.g. "WAV (Microsoft)"
    QString extension;  // usual file extension for majors; empty for subtypes
};

// Every major format libsndfile lists, in its order.
QList<FormatEntry> majorFormats();

// Index in majorFormats() of the major type of a format word. When several
// entries share the major type the last one wins; 0 when none matches.
int majorFormatIndex(int format);

// The subtypes writable in the major format at majorIndex, in libsndfile's
// subtype order: every subtype whose (major | subtype) word passes
// sf_format_check for one channel at rate 0, except codings libsndfile
// cannot encode there (see CodecFacts). entry.format is that complete
// word (default endianness), entry.name the subtype's name. An index outside
// the major list gives an empty list.
// The check does not know per-rate or encoder limits, so a listed format can
// still fail to open for writing.
QList<FormatEntry> writableSubformats(int majorIndex);

// The major formats a file name's extension stands for (case ignored;
// common aliases such as "wave", "bwf", "aif", "aifc", "ogg", "opus", "snd"
// included); empty for extensions no format claims.
QList<int> majorFormatsForExtension(const QString &extension);

// The extensions (lower case, no dot) the open panel and the shell's
// completion offer as sound files: the usual names of what libsndfile reads.
const QStringList &soundFileExtensions();

// The encoding of majorFormat closest to sourceFormat's: the same subtype
// when the major can write it, else the same sample width, else its first
// writable one; 0 when it writes none. Returns a complete format word.
int closestFormat(int majorFormat, int sourceFormat);
