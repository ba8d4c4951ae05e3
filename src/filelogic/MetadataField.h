// The editable texts of the Strings and BEXT tabs, named once: the document
// keeps one text per field, the window has one control per field (its
// outlet), the report and the command line use the same names.
//
// Pure: callable from any thread.
#pragma once

#include <QString>

enum class MetadataField {
    // The six strings, in libsndfile's string id order (id - 1).
    Title, Copyright, Software, Artist, Comment, Date,
    // The broadcast record.
    Description, Originator, OriginatorRef, OriginationDate, OriginationTime,
    Timecode, Version, UMID, CodingHistory,
    // The record's loudness fields (version 2 on), in the record's order.
    LoudnessValue, LoudnessRange, MaxTruePeakLevel, MaxMomentaryLoudness, MaxShortTermLoudness,
};
constexpr int kMetadataFieldCount = 20;
constexpr int kLoudnessFieldCount = 5;
constexpr int kStringFieldCount = 6;

inline bool isStringField(MetadataField field)
{
    return int(field) < kStringFieldCount;
}

inline bool isLoudnessField(MetadataField field)
{
    return field >= MetadataField::LoudnessValue;
}

// The object name of the control that shows the field ("stringTitle",
// "bextUMID", ...).
QString metadataFieldOutlet(MetadataField field);
