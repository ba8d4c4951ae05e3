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
};
constexpr int kMetadataFieldCount = 15;
constexpr int kStringFieldCount = 6;

inline bool isStringField(MetadataField field)
{
    return int(field) < kStringFieldCount;
}

// The object name of the control that shows the field ("stringTitle",
// "bextUMID", ...).
QString metadataFieldOutlet(MetadataField field);
