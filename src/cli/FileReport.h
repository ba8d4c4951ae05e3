// What the document window's Properties, Strings, BEXT and Peak tabs show
// for a file, as plain data without widgets: the command line prints it as
// text or JSON, and every text is made by the same functions the window
// uses, so the two cannot tell different stories.
//
// The section builders that take a SNDFILE handle use it, so they run on the
// thread that owns the handle (the main thread); the rest are pure.
#pragma once

#include "filelogic/FileMetadata.h"

#include <sndfile.h>

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <vector>


struct ReportField {
    // The window control that shows the text ("labelFormat", "stringTitle",
    // "peakTable", ...).
    QString outlet;
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
};

struct ReportSection {
    // The tab's identifier, which is also its title: "Properties",
    // "Strings", "BEXT" or "Peak".
    QString tab;
    QList<ReportField> fields;
};

struct FileReport {
    // The file as the user named it.
    QString file;
    // Why the file could not be opened (libsndfile's text); there are no
    // sections then.
    QString error;
    QList<ReportSection> sections;
};

// The name libsndfile gives a format word ("WAV (Microsoft)", "Signed 16 bit
// PCM"); "unknown" for a word libsndfile has no name for.
QString formatNameText(SNDFILE *sndfile, int format);

// The Properties tab, in the window's order. fileSize is the size the file had
// when it was opened.
ReportSection propertiesSection(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize);
// The Strings tab: a string the file lacks shows as an empty field.
ReportSection stringsSection(const FileMetadata &metadata);
// The BEXT tab: all fields empty when the file has no bext record. The UMID,
// which is binary, is given as umidHexText makes it.
ReportSection bextSection(const FileMetadata &metadata, int samplerate);

// The Peak tab's table after a scan: one field per listed channel, from the
// peaks scanPeaks() measured in a file of the given format.
ReportSection peakSection(const std::vector<double> &peaks, int format);

// Properties, and Strings and BEXT where the window keeps those tabs for the
// file's container. Reads the metadata as the window does: through the
// handle, and for Ogg and MP3 the tags of the file at `path`.
QList<ReportSection> infoSections(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize, const QString &path);

// The report for a person: the file's name, then each section's title and its
// "Label: text" lines, indented; further lines of a multi-line text are
// aligned under the first, and the text's closing line breaks are left out.
// No trailing line break.
QString reportText(const FileReport &report);

// The report for a program: {"file": ..., "properties": {"format": ...},
// "strings": {...}, "bext": {...}, "peak": [{"channel": ..., "peak": ...}]}
// with the texts as the window shows them (loudness as numbers:
// "loudness": {"integrated": -23.0, ...}), or {"file": ..., "error": ...}.
QJsonObject reportJson(const FileReport &report);

// The JSON key of a control: its name without the group prefix, in lower
// camel case ("labelBytesPerSecond" -> "bytesPerSecond", "bextUMID" -> "umid").
QString reportJsonKey(const QString &outlet);
