// Saves that copy the file's bytes: Save As and Save a Copy of a document
// with nothing edited (any container), and saves of FLAC, Ogg and MP3 files
// whose tags changed, where only the tag fields are edited in the copy
// through TagLib. Nothing is decoded or re-encoded. Built beside the target,
// flushed, verified and renamed over it like every save.
//
// Any one thread at a time (a document's save job, one of a batch's
// threads); touches only files it opens itself.
#pragma once

#include "rewrite/FileRewriter.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/TagWriter.h"

#include <sndfile.h>

#include <QString>

#include <functional>
#include <optional>

struct CopySaveJob {
    QString sourcePath;
    QString targetPath;
    // What libsndfile reads from the source; the copy must read the same.
    SF_INFO sourceInfo{};
    // The tag edits to make in the copy; nullopt copies the bytes as they are.
    std::optional<rewrite::TagEdits> tags;
};

// Runs the save into `temp`, created for job.targetPath by the caller, and
// commits it. progress(percent) as FileRewriter's; false cancels.
RewriteResult saveCopy(const CopySaveJob &job, ReplacementFile &temp, const std::function<bool(double)> &progress,
                       const RewriteFaults &faults = {});
