// Opening a sound file for reading, and opening it again later: the one
// place that decides what counts as a sound file and as "still the same
// file".
//
// Reentrant: each call works on its own handle, from any thread.
#pragma once

#include "filelogic/DocumentError.h"
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <QString>

// Opens a regular file read-only. Directories and FIFOs are refused before
// libsndfile sees them (it would block or fail oddly). On success fills
// *info and, when given, *fileSize; on failure returns no handle and fills *error
// (domain "libsndfileError", code -1, libsndfile's text) when given.
SoundHandle openSoundFile(const QString &path, SF_INFO *info, qint64 *fileSize, DocumentError *error);

// Opens path again and returns the handle only when it still holds the
// stream described by `expected`: same format and channels, and the same
// frame count when checkFrames. A headerless (RAW) file is read with the
// layout it was opened with. On failure returns no handle and says why in *why.
SoundHandle reopenSoundFile(const QString &path, const SF_INFO &expected, bool checkFrames, QString *why = nullptr);
