// The production-sound metadata a field recorder writes into a WAV file's
// iXML chunk, read and edited with QXmlStreamReader alone. An edit changes
// only the text of the elements it sets, or inserts the missing ones before
// their parent's end tag; every other byte of the chunk stays as it was:
// formatting, unknown elements, comments, CDATA, entities, a byte-order mark
// and trailing padding.
//
// Pure functions: any thread.
#pragma once

#include "filelogic/MetadataField.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>
#include <optional>

// Track names by CHANNEL_INDEX (from 1).
using TrackNames = std::map<int, QString>;

struct IxmlTrack {
    // The texts as the chunk gives them (trimmed).
    QString channelIndex;
    QString interleaveIndex;
    QString name;
    QString function;
    // CHANNEL_INDEX as a number from 1; 0 when it is missing or no number.
    int channel() const;
};

struct IxmlChunk {
    // XML that parsed to its end. A chunk that is not stays as it is: its
    // fields are shown but never edited.
    bool wellFormed = false;
    // Well-formed UTF-8 (with or without a byte-order mark), whose bytes an
    // edit can keep.
    bool editable = false;
    // Why it is not well-formed or not editable; empty when it is both.
    QString problem;
    // PROJECT, SCENE, TAKE, TAPE, CIRCLED and NOTE where the chunk has them,
    // trimmed.
    std::map<MetadataField, QString> fields;
    std::optional<QString> trackCount;
    QList<IxmlTrack> tracks;
    // Shown, never edited.
    QString timecodeRate, timecodeFlag, fileSampleRate, fileUid, ubits;
    // The chunk's copy of the broadcast record, where it has one.
    std::optional<QString> bextDescription;
    std::optional<QString> bextTimeReferenceLow, bextTimeReferenceHigh;

    QString text(MetadataField field) const;
    // The first track of each CHANNEL_INDEX.
    TrackNames trackNames() const;
};

// Reads a chunk's payload; an empty payload reads as an editable chunk
// without fields.
IxmlChunk readIxmlChunk(const QByteArray &payload);

struct IxmlEdits {
    std::map<MetadataField, QString> fields;
    TrackNames trackNames;
    bool isEmpty() const { return fields.empty() && trackNames.empty(); }
};

// The payload with the edits made. A track without an entry gets one (and
// TRACK_COUNT follows); an empty text for an element the chunk lacks adds
// nothing. An empty payload becomes a minimal BWFXML document first.
// nullopt and *error when the chunk cannot be edited: not well-formed, not
// UTF-8, an element to set holding others, or a text XML cannot carry.
std::optional<QByteArray> editIxmlChunk(const QByteArray &payload, const IxmlEdits &edits, QString *error);

// True for bytes that are well-formed XML in UTF-8; else *problem says why.
bool isWellFormedUtf8Xml(const QByteArray &bytes, QString *problem);
