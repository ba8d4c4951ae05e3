// The broadcast (bext) record as the document keeps it.
#pragma once

#include <sndfile.h>

// libsndfile's own SF_BROADCAST_INFO holds only 256 bytes of coding history
// and silently cuts longer ones; this variant has room for the longest
// history libsndfile keeps, so nothing read from a file is lost.
constexpr int kBextCodingHistoryCapacity = 16384;
typedef SF_BROADCAST_INFO_VAR(kBextCodingHistoryCapacity) BextRecord;
