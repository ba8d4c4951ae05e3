// String metadata and the broadcast record of a file being written.
// Main thread; only touches the output handle it is given.
#pragma once

#include "filelogic/BextRecord.h"

#include <sndfile.h>

#include <QByteArray>

#include <array>
#include <optional>

namespace rewrite {

// The coding history as it should go to libsndfile: line breaks as CRLF,
// without a last line that libsndfile wrote itself (it appends a fresh one
// on every write, so saving again must not add another), and short enough
// that libsndfile can read the record back (about 9.5 KiB).
QByteArray codingHistoryForWriting(const BextRecord &record);

// The longest history codingHistoryForWriting returns.
int codingHistoryRoom();

// True for a history line of the form libsndfile appends:
// "A=PCM,F=48000,W=16,M=mono,T=libsndfile-1.2.0".
bool isLibsndfileHistoryLine(const QByteArray &line);

// Hands the record to libsndfile before any sample is written. Returns
// libsndfile's answer; formats without a broadcast record refuse it.
bool writeBroadcastRecord(SNDFILE *output, const BextRecord &record);

// Sets each non-empty string (index = libsndfile string id - 1) byte for byte.
void writeStrings(SNDFILE *output, const std::array<std::optional<QByteArray>, 6> &strings);

} // namespace rewrite
