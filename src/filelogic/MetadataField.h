// The editable texts of the Strings, BEXT and iXML tabs, in one table: each
// field's id, the key the command line knows it by, its caption, what text it
// takes and where a file keeps it. The document keeps one text per field, the
// window pairs each with a control of its own, the report, the batch and the
// CSV take names and limits from here.
//
// Pure and constant: callable from any thread.
#pragma once

#include <QString>

#include <array>
#include <optional>

enum class MetadataField {
    // The six strings, in libsndfile's string id order (id - 1).
    Title, Copyright, Software, Artist, Comment, Date,
    // The broadcast record.
    Description, Originator, OriginatorRef, OriginationDate, OriginationTime,
    Timecode, Version, UMID, CodingHistory,
    // The record's loudness fields (version 2 on), in the record's order.
    LoudnessValue, LoudnessRange, MaxTruePeakLevel, MaxMomentaryLoudness, MaxShortTermLoudness,
    // The iXML chunk's production fields, and its tracks' names.
    IxmlProject, IxmlScene, IxmlTake, IxmlTape, IxmlCircled, IxmlNote, IxmlTrackName,
};
constexpr int kMetadataFieldCount = 27;
constexpr int kLoudnessFieldCount = 5;
constexpr int kStringFieldCount = 6;

// Where a file keeps a field; ContainerTable says which containers have it.
enum class FieldStore {
    Strings, // one of libsndfile's six strings (RIFF INFO, AIFF, tags)
    Bext,    // the broadcast record
    Ixml,    // the iXML chunk
};

// What text a field takes beyond its length.
enum class FieldKind {
    Text,     // any text
    Lines,    // text of several lines, stored with CR LF line ends
    Timecode, // hhh:mm:ss:frames at the file's rate
    Version,  // the record's version number, which the command line leaves to the save
    Umid,     // a binary identifier: hexadecimal on the command line
    Loudness, // hundredths, from -327.68 to 327.66; empty for none
    Flag,     // TRUE or FALSE; empty for none
    // One text per track, not one per file: the key of each is the row's
    // key and the track's CHANNEL_INDEX ("ixml.track2"), and the texts sit
    // beside the others (MetadataTexts::trackNames), not in the row's slot.
    TrackName,
};

struct FieldFacts {
    MetadataField id;
    // The command line's name for it: its --json key, its CSV column and
    // the FIELD of --set ("originatorRef"). Public: never renamed.
    const char *key;
    // Its caption in the window and the report ("Originator reference").
    const char *label;
    FieldStore store;
    FieldKind kind;
    // The most bytes of UTF-8 the file keeps (the record's fixed width, the
    // history a record can hold); 0 where only the container limits it.
    int maxBytes;
    // Written by the command line; the version follows from what a save
    // writes instead.
    bool settable;
};

// Every field, in the order the window and --info show them.
const std::array<FieldFacts, kMetadataFieldCount> &metadataFieldTable();

const FieldFacts &fieldFacts(MetadataField field);
QString fieldKey(MetadataField field);
// The field of a command-line key; nullopt for a key no field has.
std::optional<MetadataField> fieldNamed(const QString &key);

// The key of the name of the iXML track with this CHANNEL_INDEX (from 1).
QString trackKey(int channel);
// The CHANNEL_INDEX a track key names; 0 for any other key.
int trackNamed(const QString &key);

inline bool isStringField(MetadataField field)
{
    return fieldFacts(field).store == FieldStore::Strings;
}

inline bool isLoudnessField(MetadataField field)
{
    return fieldFacts(field).kind == FieldKind::Loudness;
}
