// Saves that write only what changed into the file itself (see
// InPlacePlan.h for when an edit fits), under a rollback journal
// (filelogic/SaveJournal.h), so that a crash at any instant leaves the old
// file or the new one:
//   the file opened once and locked; the journal written and flushed, and
//   its folder; the file checked to be the one read, unchanged; the ranges
//   written (the file extended or cut); read back, the structure read again
//   and libsndfile asked for the same stream as before, without reading the
//   audio; the file flushed; the journal removed; the folder flushed.
// A failed check or write puts the old bytes back from the journal and
// reports the save as failed. Whatever the file keeps by nature stays: its
// inode, links, owner, mode, extended attributes and ACLs.
//
// Any one thread; works through descriptors of its own. Short: it never
// asks progress to go on once it has begun writing.
#pragma once

#include "rewrite/FileRewriter.h"
#include "rewrite/SaveEngine.h"

#include <functional>
#include <optional>

// Runs the engine's save (engine.inPlace) in place when it fits. nullopt
// when it does not, or when the file or its journal cannot be opened for
// writing: nothing was written, and the caller runs the save that writes a
// new file. progress(0) is asked once, before anything is written; false
// cancels.
std::optional<RewriteResult> saveInPlace(const SaveEngine &engine, const std::function<bool(double)> &progress,
                                         const RewriteFaults &faults = {});

// True when the engine's save would be made in place, without writing
// anything (for --dry-run).
bool savesInPlace(const SaveEngine &engine);
