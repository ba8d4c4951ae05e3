// Files and saves for the tests of saves in place: small chunk files from a
// short description, FLAC and MP3 files made with ffmpeg, and the engine of
// a one-text save into the file itself.
#pragma once

#include "ChunkFileBuilder.h"
#include "rewrite/SaveEngine.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace fixtures {

// A 16-bit stereo file of 100 frames whose chunks after the format chunk are
// described in order: "data" (or "SSND"), "LIST:title" (an INFO list holding INAM),
// "NAME:text" (AIFF), or a padding id with its size, "JUNK:64", "FLLR:32".
QByteArray chunkFile(ChunkContainer container, const QStringList &chunks);

// The top-level chunks of a file as "fmt 16|LIST 24|data 400".
QString chunkLayout(const QString &path);

// A one-second file made by ffmpeg: "flac" (comment and 8 KiB of padding),
// "flac-plain" (libsndfile's: no padding), "mp3" (ID3v2.3 with 256 bytes of
// padding), "mp3-bare" (the same tag without padding), "mp3-v1" (only an
// ID3v1 tag), "ogg". Each has the title "Old title".
// Empty when ffmpeg is missing or fails.
QByteArray mediaFile(const QString &kind, const QString &folder);

// The save of string `index` (0 title ... 5 date) as value into the file
// itself, with the engine the file's format takes.
SaveEngine textSave(const QString &path, const QByteArray &value, int index = 0);

// Where the journal of a save of path lies.
QString journalPath(const QString &path);

bool writeBytes(const QString &path, const QByteArray &bytes);

} // namespace fixtures
