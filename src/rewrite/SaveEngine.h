// Which engine writes a save: picked per job (see MetadataSave.h).
#pragma once

#include "rewrite/ChunkSave.h"
#include "rewrite/CopySave.h"

#include <optional>

struct SaveEngine {
    std::optional<ChunkSaveJob> chunks; // WAV family and AIFF: chunks edited
    std::optional<CopySaveJob> copy;    // bytes copied, tags edited in the copy
    // Neither: libsndfile writes the file anew.
    // The job's target is its source: the save first tries to write only
    // what changed into the file itself (see InPlaceSave.h).
    bool inPlace = false;

    // The chunk and copy engines write into a ReplacementFile the caller
    // creates first; libsndfile's rewrite makes its own.
    bool writesReplacement() const { return chunks || copy; }
};
