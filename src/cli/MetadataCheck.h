// What in a file's metadata does not follow EBU Tech 3285 and the RIFF INFO
// conventions: dates not yyyy-mm-dd and times not hh:mm:ss, text outside
// ASCII in the broadcast record, a coding history not in the EBU R 98 form,
// a broadcast record where the container does not carry one, an MD5 chunk
// that is not 16 bytes. The command
// line's --check prints the findings; the window marks the fields.
//
// checkMetadata is pure; checkFile and runCheck read files. Main thread.
#pragma once

#include "filelogic/FileMetadata.h"
#include "filelogic/MetadataField.h"
#include "container/ChunkList.h"

#include <QList>
#include <QString>

#include <optional>

class QTextStream;

struct MetadataFinding {
    // The field's --json key; "bext" for the record as a whole, "md5" for
    // the MD5 chunk.
    QString key;
    std::optional<MetadataField> field;
    QString message;
};

// The findings for metadata as a save reads it (readSavedMetadata)
// from a file of `format`; chunks, when known, show a record libsndfile does
// not read (a bext chunk in an AIFF file).
QList<MetadataFinding> checkMetadata(const FileMetadata &read, int format, const std::optional<ChunkList> &chunks);

// Opens the file and checks it, its iXML chunk too (IxmlCheck.h); false
// with *error when it cannot be read.
bool checkFile(const QString &path, QList<MetadataFinding> *findings, QString *error);

// --check: "FILE: key: message" on out for each finding, unreadable files on
// err. Returns 1 when anything was reported, else 0.
int runCheck(const QStringList &files, QTextStream &out, QTextStream &err);
