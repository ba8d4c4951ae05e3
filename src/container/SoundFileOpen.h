// Opening a sound file for reading, and opening it again later: the one
// place that decides what counts as a sound file, how long it is, and what
// counts as "still the same file". It sits above libsndfile's own opening
// with what the container layer reads of a file's structure.
//
// Reentrant: each call works on its own handle, from any thread.
#pragma once

#include "filelogic/DocumentError.h"
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <QString>

#include <algorithm>

// Both first recover the file from the journal of a save that was cut
// short, if there is one (see SaveJournal.h), and post the message for the
// user.
//
// Opens a regular file read-only. Directories and FIFOs are refused before
// libsndfile sees them (it would block or fail oddly). On success fills
// *info and, when given, *fileSize; an MPEG file's frames are the count its
// own frames give (see MpegStream), which the reader of the handle stops at.
// On failure returns no handle and fills *error when given: domain
// "libsndfileError", code -1, and either libsndfile's text, or what the
// file's structure shows (see soundFileProblem) with libsndfile's text as
// the failure reason.
SoundHandle openSoundFile(const QString &path, SF_INFO *info, qint64 *fileSize, DocumentError *error);

// The frames a reader of a handle openSoundFile gave reads: its frame count,
// which a decoder may deliver more than (an MPEG stream beyond its Xing
// count, junk after the last frame), or every frame when libsndfile cannot
// tell the length (SF_COUNT_MAX).
inline sf_count_t framesToRead(const SF_INFO &info)
{
    return info.frames == SF_COUNT_MAX ? SF_COUNT_MAX : std::max<sf_count_t>(0, info.frames);
}

// Opens path again and returns the handle only when it still holds the
// stream described by `expected`: same format and channels, and the same
// frame count (as openSoundFile counts it) when checkFrames. A headerless (RAW) file is read with the
// layout it was opened with. On failure returns no handle and says why in *why.
SoundHandle reopenSoundFile(const QString &path, const SF_INFO &expected, bool checkFrames, QString *why = nullptr);
