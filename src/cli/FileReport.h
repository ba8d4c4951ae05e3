// What the document window's Properties, Strings, BEXT and Peak tabs show
// for a file, as plain data without widgets: the command line prints it as
// text or JSON, and every text is made by the same functions the window
// uses, so the two cannot tell different stories.
//
// The section builders that take a SNDFILE handle use it, so they run on the
// thread that owns the handle (the main thread); the rest are pure.
#pragma once

#include "filelogic/ChannelNames.h"
#include "filelogic/FileMetadata.h"
#include "filelogic/MetadataField.h"
#include "rewrite/MetadataSave.h"

#include <sndfile.h>

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <vector>


struct ReportField {
    // Its key in the section's JSON object ("sampleFormat", "originatorRef";
    // a metadata field's is the field table's). Public: never renamed. Empty
    // for peak and chunk rows, which JSON lists in arrays.
    QString key;
    // Its caption in the window, without the colon ("Sample format"); for
    // peak rows the channel's name ("Channel #0").
    QString label;
    // The text exactly as the control shows it.
    QString text;
    // Chunk rows: where the chunk starts and its payload size, for JSON.
    qint64 offset = -1;
    qint64 size = -1;
    // Loudness rows: the level as a JSON number (null for -inf). Undefined
    // elsewhere: JSON then carries the text.
    QJsonValue number = QJsonValue(QJsonValue::Undefined);
    // Marker rows: the row as JSON lists it.
    QJsonObject row{};
    // Peak rows: the channel's own name (ChannelNames), which the label
    // ends with; empty when the file gives none.
    QString name = QString();
};

struct ReportSection {
    // The tab's identifier, which is also its title: "Properties",
    // "Strings", "BEXT", "iXML" or "Peak".
    QString tab;
    QList<ReportField> fields;
};

struct FileReport {
    // The file as the user named it.
    QString file;
    // Why the file could not be opened; the sections then hold what could
    // still be read (a damaged file's chunks or ID3 tags), if anything.
    QString error;
    QList<ReportSection> sections;
};

// The name libsndfile gives a format word ("WAV (Microsoft)", "Signed 16 bit
// PCM"); "unknown" for a word libsndfile has no name for.
QString formatNameText(SNDFILE *sndfile, int format);

// The Properties tab, in the window's order. fileSize is the size the file had
// when it was opened.
ReportSection propertiesSection(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize);
// The texts of the metadata fields as the command line reads and writes
// them: as the window shows them, except the UMID, which is binary and given
// as umidHexText makes it.
rewrite::MetadataTexts commandLineTexts(const FileMetadata &metadata, int samplerate);
// The Strings tab ("Strings"), the BEXT tab ("BEXT") or the iXML tab
// ("iXML"): the fields of the store in the field table's order, empty where
// the file holds nothing, a row per iXML track ("ixml.track2"), and what the
// iXML tab shows without editing: the timecode rate and flag, the file
// sample rate, FILE_UID, UBITS and why the chunk cannot be edited.
ReportSection metadataSection(FieldStore store, const FileMetadata &metadata, int samplerate);

// How the file names its channels: the iXML tracks and the speaker
// positions libsndfile reads. Uses the handle: its thread.
ChannelNames fileChannelNames(SNDFILE *sndfile, int channels, const FileMetadata &metadata);

// The Peak tab's table after a scan: one field per listed channel, from the
// peaks scanPeaks() measured in a file of the given format, each labelled
// as the routing pop-ups name the channel.
ReportSection peakSection(const std::vector<double> &peaks, int format, const ChannelNames &naming = {});

// Properties, and Strings, BEXT and iXML where the window keeps those tabs
// for the file's container. Reads the metadata as the window does: through the
// handle, and for Ogg and MP3 the tags of the file at `path`.
QList<ReportSection> infoSections(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize, const QString &path);

// The report for a person: the file's name, then each section's title and its
// "Label: text" lines, indented; further lines of a multi-line text are
// aligned under the first, and the text's closing line breaks are left out.
// No trailing line break.
QString reportText(const FileReport &report);

// The report for a program: {"file": ..., "properties": {"format": ...},
// "strings": {...}, "bext": {...}, "ixml": {...}, "peak": [{"channel": ...,
// "name": ... (when it has one), "peak": ...}], "markers": [{"time": ...,
// "frame": ..., ...}]}
// with the texts as the window shows them (loudness as numbers:
// "loudness": {"integrated": -23.0, ...}), or {"file": ..., "error": ...}.
QJsonObject reportJson(const FileReport &report);
