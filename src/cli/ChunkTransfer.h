// Chunks in and out on the command line: --export-chunk writes one chunk's
// payload to standard output byte for byte, --import-chunk sets an XML
// chunk (iXML, axml, _PMX, ...) from a file in many files at once through
// the batch's save, as --set saves a field.
//
// Main thread; the import's checks of each file run on the batch's threads.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct EditRules;

class QTextStream;

// The chunk id an argument names: one to four printable ASCII characters,
// padded with spaces ("cue" is "cue "); nullopt and *error otherwise.
std::optional<QByteArray> chunkIdArgument(const QString &text, QString *error);

struct ChunkImport {
    QByteArray id;
    QString path; // the file holding the payload
};

// "ID=PATH", split at the first '='; nullopt and *error when it is not.
std::optional<ChunkImport> parseChunkImport(const QString &text, QString *error);

// --export-chunk: the payload of the file's first chunk with the id (a top
// level one before one inside a LIST) on out's device, byte for byte; a
// stream without a device gets each byte as one Latin-1 character. Returns
// 1 with a message on err when there is no such chunk or the file's chunks
// cannot be read.
int runExportChunk(const QByteArray &id, const QString &file, QTextStream &out, QTextStream &err);

// --import-chunk: every file gets each payload, its first chunk of the id
// replaced where it stands or a new one after the audio, saved as --set
// saves; a file that holds it already is left alone. A payload that is not
// well-formed UTF-8 XML is refused before any file is touched. Returns as
// runFieldEdits does.
int runImportChunks(const QList<ChunkImport> &imports, const QStringList &files, const EditRules &rules,
                    QTextStream &out, QTextStream &err);
