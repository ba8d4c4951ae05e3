// What is wrong with a file libsndfile refuses, in a user's words, where the
// file's own structure shows it: an empty file, an MP3 with no audio after
// its ID3 tag or with its first frame cut short, a WAV, RF64 or AIFF file
// whose chunks are damaged or missing, a format chunk shorter than its
// format needs. libsndfile's own text names its parser's complaint, which is
// sometimes plainly wrong ("not a regular file" for a short MP3).
//
// Reentrant and stateless: any thread, as long as the ByteSource is not used
// by another thread at the same time.
#pragma once

#include "container/ChunkList.h"

#include <QString>

// One translated sentence; empty when the structure shows nothing wrong.
// namedMpeg: the file's name says MP3 (libsndfile then reads it as one, and
// its complaint is that the file "is not a regular file").
QString soundFileProblem(const ByteSource &file, bool namedMpeg);
