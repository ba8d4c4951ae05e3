// Editing the chunks of RIFF/WAVE files that libsndfile wrote, to give tests
// bext records libsndfile itself would never write (a version other than its
// own, sizes at and beyond its limits).
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace fixtures {

// Offset of the 16-bit version inside a bext chunk's data (little-endian):
// description 256, originator 32, reference 32, date 10, time 8, two 32-bit
// halves of the time reference.
constexpr int kBextChunkVersionOffset = 346;
// Size of a bext chunk without coding history.
constexpr int kBextChunkFixedSize = 602;

// The data of the first chunk with the four-character id, if any.
std::optional<QByteArray> riffChunk(const QString &path, const QByteArray &id);

// Replaces the data of the first chunk with that id (keeping its place),
// fixing the chunk size, the pad byte and the RIFF size. False when the file
// is no RIFF file or has no such chunk.
bool replaceRiffChunk(const QString &path, const QByteArray &id, const QByteArray &data);

// Sets the version field of the file's bext chunk.
bool patchBextVersion(const QString &path, quint16 version);

} // namespace fixtures
