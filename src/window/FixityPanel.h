// The Peak tab's Fixity group: the MD5 the file stores for its audio, the
// one computed now (Compute, a Cancel button while it runs), the verdict,
// and for the WAV family "Store in file", which sets the file's MD5 chunk
// as an edit the next save writes.
//
// Main thread.
#pragma once

class QObject;
class SoundFile;
namespace Ui {
class SoundFile;
}

// Wires the group to the document and shows its state. The connections end
// with `context` (the window that owns `ui`).
void connectFixityPanel(Ui::SoundFile &ui, SoundFile *document, QObject *context);
