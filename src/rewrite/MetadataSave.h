// What a save of edited metadata writes, worked out from the texts as edited
// and the metadata as read: the texts a file's fields show, the rules of the
// loudness fields, and the bytes a job stores for each text. SavePlan puts
// them together for every save, so untouched bytes are kept the same way by
// the window and the command line.
//
// Pure functions; any thread.
#pragma once

#include "container/TagReader.h"
#include "filelogic/FileMetadata.h"
#include "filelogic/IxmlChunk.h"
#include "filelogic/MetadataField.h"
#include "rewrite/FileRewriter.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/SaveEngine.h"

#include <sndfile.h>

#include <QString>
#include <QStringList>

#include <array>
#include <functional>

namespace rewrite {

// One text per MetadataField, as the window's fields hold them, and the
// iXML tracks' names, which are as many as the file has tracks.
struct MetadataTexts {
    std::array<QString, kMetadataFieldCount> fields;
    TrackNames trackNames;

    QString &operator[](size_t field) { return fields[field]; }
    const QString &operator[](size_t field) const { return fields[field]; }
    bool operator==(const MetadataTexts &o) const { return fields == o.fields && trackNames == o.trackNames; }
    bool operator!=(const MetadataTexts &o) const { return !(*this == o); }
};

// The texts the window shows for what was read: empty where the file holds
// nothing, the coding history and the iXML note with line breaks as a text
// field shows them.
MetadataTexts metadataTexts(const FileMetadata &read, int samplerate);

// The five loudness fields, in the record's order, and their names for
// messages ("loudness value", ...).
const std::array<MetadataField, kLoudnessFieldCount> &loudnessFields();
QString loudnessFieldName(MetadataField field);

// Why the texts cannot be saved as they are: a loudness field whose text is
// not a number it can hold ("“loud” is not a number ... for the loudness
// value."); empty when they can.
QString loudnessTextProblem(const MetadataTexts &texts);

// True when one of the record's fields holds text: a save in the file's own
// format then writes a record.
bool textsHoldBext(const MetadataTexts &texts);

// Fills job->strings, job->chunks (an edited iXML chunk) and, when withBext,
// job->bext from the texts. Texts equal to what was read keep the bytes they
// were read from (binary UMID, Latin-1 text, a time reference finer than its
// timecode text).
void fillJobMetadata(const MetadataTexts &texts, const FileMetadata &read, int samplerate, bool withBext,
                     RewriteJob *job);

// How a job for a file read as `read` is written: a byte copy when nothing
// was edited and the record stays as it is (bextChanges false), the file's
// chunks edited (WAV family, AIFF), its bytes copied with tags edited (FLAC,
// Ogg, MP3), or else libsndfile's rewrite, noting in *notKept what that
// loses when the chunks could not be read. Only a job that keeps the
// source's format and channels can keep bytes.
SaveEngine saveEngineFor(const RewriteJob &job, const FileMetadata &read, bool edited, bool bextChanges,
                         QStringList *notKept);
// What of the job's texts the engine will not store: nothing for a copy
// (TagLib writes every string, MP3 included), else what the container's
// writer drops.
QStringList textsNotKept(const SaveEngine &engine, const RewriteJob &job);

// What a save by this engine has to tell its user besides its success (see
// tagSaveNote); mostly empty. Ask before the save: it reads the file.
QString saveNote(const SaveEngine &engine);

// Runs the engine: in the file itself when engine.inPlace and the edit fits
// there (see InPlaceSave.h), else into temp, which is created for
// job.targetPath (with job.replace) when the caller has not created it.
// progress as FileRewriter's.
RewriteResult runSave(const RewriteJob &job, const SaveEngine &engine, ReplacementFile &temp,
                      const std::function<bool(double)> &progress);

// How the save would reach the disk, for a dry run: "in place" or
// "rewritten (12.3 MB copied)".
QString saveCostText(const RewriteJob &job, const SaveEngine &engine);

// Why a new file as large as the source does not fit beside the target
// (the free space needed and found); empty when it does or nobody can tell.
QString roomProblem(const QString &sourcePath, const QString &targetPath);

// True for an existing file nobody may write to: it is kept as it is, even
// for a user (root) the system would let replace it.
bool isReadOnlyFile(const QString &path);

} // namespace rewrite
