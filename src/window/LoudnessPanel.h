// The Peak tab's Loudness group: the Measure Loudness button (a Cancel
// button while a measurement runs), its progress bar and the five values of
// the document's last measurement, in the texts --loudness prints.
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
void connectLoudnessPanel(Ui::SoundFile &ui, SoundFile *document, QObject *context);
