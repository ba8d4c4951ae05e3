// Which engine writes a save: the document picks one per job.
#pragma once

#include "rewrite/ChunkSave.h"
#include "rewrite/CopySave.h"

#include <optional>

struct SaveEngine {
    std::optional<ChunkSaveJob> chunks; // WAV family and AIFF: chunks edited
    std::optional<CopySaveJob> copy;    // bytes copied, tags edited in the copy
    // Neither: libsndfile writes the file anew.
};
