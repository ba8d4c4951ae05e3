// Opening documents in tests through the document controller, and closing
// them all again without the unsaved-changes prompt.
#pragma once

#include <QString>

class SoundFile;

namespace fixtures {

// Opens path as a shown document; null (with a warning) on failure. The
// controller is told not to end the application when documents close.
SoundFile *openDocument(const QString &path);

// Closes every open document, throwing away edits, and deletes them.
void closeAllDocuments();

} // namespace fixtures
