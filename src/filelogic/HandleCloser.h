// Closing handles on a thread of their own.
//
// The last handle of a file that a save has just replaced takes the old
// file with it as it closes: the kernel drops its cached pages and frees
// its blocks, about a fifth of a second per half gigabyte. Nobody waits for
// that work, so the save hands the handle over and goes on.
#pragma once

#include "filelogic/SoundHandle.h"

namespace HandleCloser {

// Any thread. Takes the handle; an empty one is ignored. Closed in the
// order given; the program's exit waits for those not closed yet.
void closeLater(SoundHandle file);

} // namespace HandleCloser
