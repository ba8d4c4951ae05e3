// The broadcast (bext) record as the document keeps it.
#pragma once

#include <sndfile.h>

#include <cstddef>

// libsndfile's own SF_BROADCAST_INFO holds only 256 bytes of coding history
// and silently cuts longer ones; this variant has room for the longest
// history libsndfile keeps, so nothing read from a file is lost.
constexpr int kBextCodingHistoryCapacity = 16384;
typedef SF_BROADCAST_INFO_VAR(kBextCodingHistoryCapacity) BextRecord;

// The longest coding history a save writes. libsndfile's WAV reader ignores
// a bext chunk of 10240 bytes or more, which would lose the whole record on
// the next open. The chunk is the 602-byte fixed part plus the history, to
// which libsndfile adds up to two padding bytes, a line break and its own
// line (under 64 bytes).
constexpr int kBextCodingHistoryRoom = 10239 - int(offsetof(BextRecord, coding_history)) - 2 - 2 - 64;
