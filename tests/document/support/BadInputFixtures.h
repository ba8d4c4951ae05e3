// Helpers of the bad-input tests: patching bytes of generated files, and the
// checks every damaged file goes through once it is open as a document (the
// window, the peak scan, the renderer, playback, a save in place).
//
// The checks use QtTest macros: call them through CHECKED so that a failed
// check also ends the calling test function.
#pragma once

#include <sndfile.h>

#include <QByteArray>
#include <QString>

#include <vector>

class SoundFile;

#define CHECKED(call)                                                                                                  \
    do {                                                                                                               \
        call;                                                                                                          \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

namespace fixtures {

void putLE16(QByteArray &bytes, qsizetype at, quint16 value);
void putLE32(QByteArray &bytes, qsizetype at, quint32 value);
bool writeFileBytes(const QString &path, const QByteArray &bytes);

// Where the sample data starts: after the "data" chunk header of a WAV file,
// after the "SSND" header with its offset and block size of an AIFF file;
// -1 when there is none.
qsizetype sampleDataStart(const QByteArray &file, bool aiff);

// libsndfile's own text for a failed open of path; empty when it opens.
QString libsndfileOpenError(const QString &path);

// What a fresh handle reads from path, cut to whole frames: all a save can
// keep of it.
std::vector<int> readableFrames(const QString &path, int *channels = nullptr);

// The stream description of path (zeros when it does not open).
SF_INFO infoOf(const QString &path);

// Opening fails: the error carries libsndfile's text (expectedText when
// given), no document stays open and the file is as it was.
void verifyOpenFails(const QString &path, const QString &expectedText = QString());

// The window shows what libsndfile reports for the open handle.
void verifyDisplay(SoundFile *doc);

// The peak scan finishes and lists one finite, non-negative peak per listed
// channel.
void verifyScan(SoundFile *doc);

// Pulls four blocks of 256 frames through the render procedure (the output
// is stopped, so the test stands in for the audio thread); every value is
// finite and within full scale. The first block goes to *first when given.
void renderALittle(SoundFile *doc, std::vector<float> *first = nullptr);

// Plays through the output until the position moves, then pauses. With
// nothing to play the document stops by itself at once.
void playAMoment(SoundFile *doc, bool somethingToPlay = true);

// Edits the title and saves in place. Saved (*saved true): the file holds
// `expected` in `channels` channels and the window shows it. Not saved: an
// alert says why, the document stays edited and the file keeps its bytes.
// False when either outcome is not as described.
bool saveAndCheck(SoundFile *doc, const std::vector<int> &expected, int channels, bool *saved);

} // namespace fixtures
