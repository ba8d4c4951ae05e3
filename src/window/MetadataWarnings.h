// The findings of --check shown in the window: a warning mark beside each
// field concerned, the finding as its tooltip.
//
// Main thread.
#pragma once

#include "cli/MetadataCheck.h"

#include <QList>

namespace Ui {
class SoundFile;
}

// Marks the fields of the form that the findings name; marks of an earlier
// call go first. Findings
// without a field (a record in a container without one) mark nothing: the
// window shows no BEXT tab there.
void showMetadataWarnings(const Ui::SoundFile &ui, const QList<MetadataFinding> &findings);
