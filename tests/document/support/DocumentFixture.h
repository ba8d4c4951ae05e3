// Test files and documents for the document and window tests: one builder
// for file descriptions, documents with and without a window, and looks at
// what ended up on disk. Brings what every such test uses.
#pragma once

#include "Fixtures.h"

#include "document/LoudnessJob.h"
#include "document/PeakJob.h"
#include "document/SoundFile.h"
#include "document/Transport.h"
#include "document/WaveformJob.h"
#include "filelogic/FileMetadata.h"
#include "playback/AudioRenderer.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class SoundFileWindow;

namespace docfix {

// A file description in one call.
fixtures::Spec spec(sf_count_t frames, int channels = 2, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16, int rate = 44100);
// Writes name into dir; its path, or empty when it could not be written.
QString make(const QTemporaryDir &dir, const QString &name, const fixtures::Spec &s,
             const fixtures::Generator &gen = fixtures::sineSample);

// A document without any window. Files the tests make always open: a
// failure ends the test program, naming the file and the reason.
std::unique_ptr<SoundFile> open(const QString &path);
// A document the controller keeps (it knows the other open documents),
// without a window unless one is registered; close() ends it.
SoundFile *openKept(const QString &path);
// A document opened as the program opens one, and its window, shown.
SoundFileWindow *openWindow(const QString &path);
SoundFileWindow *openWindow(const QTemporaryDir &dir, const QString &name, const fixtures::Spec &s);
// Closes every document of the controller, edits dropped, and deletes the
// documents, their windows and any alert left on screen.
void closeAllDocuments();

// Chooses a conversion format as the window's pop-ups do; false when the
// container does not list that encoding.
bool chooseConvertFormat(SoundFile &doc, int format);
// A plain Save over the document's own file.
bool save(SoundFile &doc, DocumentError *error = nullptr);

// A title save into the file itself stopped as a crash would stop it, in
// the middle of its first write into the file; the file's title must have
// three letters. False when the save did not get that far.
bool cutSaveShort(const QString &path);

FileMetadata metadataOf(const QString &path);
QByteArray fileBytes(const QString &path);
bool writeFileBytes(const QString &path, const QByteArray &bytes);

} // namespace docfix
