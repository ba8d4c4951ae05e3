// Opening documents in tests through the document controller, and closing
// them all again without the unsaved-changes prompt.
#pragma once

#include "filelogic/FileMetadata.h"

#include <QString>

class SoundFile;

namespace fixtures {

// Opens path as a shown document; null (with a warning) on failure. The
// controller is told not to end the application when documents close.
SoundFile *openDocument(const QString &path);

// The strings and bext record of a file on disk, read the way a document
// reads them (an empty result when the file cannot be opened).
FileMetadata metadataOf(const QString &path);

// Closes every open document, throwing away edits, and deletes them.
void closeAllDocuments();

} // namespace fixtures
