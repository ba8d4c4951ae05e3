// One open sound file and what is done to it: the read handle, the metadata
// as read and as edited, playback, the peak scan, saving and converting.
// No widgets: the window fills itself from the document, hands edits back
// through the setters and slots, and follows the signals.
//
// Every method runs on the main thread. The other threads (the audio thread
// inside AudioRenderer, the loudness and waveform overview workers) never
// call into the document: what they report arrives on the main thread.
#pragma once

#include "analysis/LoudnessScan.h"
#include "filelogic/BextRecord.h"
#include "filelogic/DocumentError.h"
#include "filelogic/FileMetadata.h"
#include "filelogic/FormatList.h"
#include "filelogic/MetadataField.h"
#include "filelogic/PlayPosition.h"
#include "filelogic/SoundHandle.h"
#include "container/ChunkList.h"

#include <sndfile.h>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <array>
#include <optional>
#include <vector>

class AudioRenderer;
class QWidget;
class WaveformOverview;
namespace rewrite {
class SavePlan;
}

// The name a conversion proposes: the document's file name with its last
// extension replaced by the target format's.
QString proposedConvertName(const QString &documentPath, const QString &extension);

enum class SaveOperationType { Save = 0, SaveAs = 1, SaveTo = 2, Autosave = 3 };

// Channels the conversion and peak lists name one by one; those beyond are
// always kept and never measured.
constexpr int kListedChannels = 256;

class SoundFile : public QObject
{
    Q_OBJECT

public:
    explicit SoundFile(QObject *parent = nullptr);
    ~SoundFile() override;

    // --- lifecycle ---------------------------------------------------------
    // Opens the file read-only. On failure fills *error (domain
    // "libsndfileError", code -1, libsndfile's text) when one is given.
    bool readFromURL(const QUrl &url, const QString &typeName, DocumentError *error);
    // Releases the renderer, the timer and the file, in that order. Never
    // prompts; the window asks about unsaved edits first.
    void close();
    bool isClosed() const { return m_closed; }
    // Reads the file again, dropping every edit.
    bool revertToSaved(DocumentError *error);
    // The engines' libraries and versions, one per line (About box).
    static QString libraryVersions();

    QUrl fileURL() const { return m_fileURL; }
    QString fileType() const { return m_fileType; }
    // The open document showing this file (by identity: a link to it counts),
    // if any.
    static SoundFile *documentShowing(const QString &path);

    // The window sheets and alerts belong to; the window sets it.
    QWidget *windowForSheet() const { return m_windowObject ? m_window : nullptr; }
    void setWindowForSheet(QWidget *window, QObject *windowObject);

    // True while a peak scan or a rewrite runs its own event passes.
    bool isBusy() const { return m_busy; }

    // --- the file as read ------------------------------------------------------
    SNDFILE *handle() const { return m_sndfile.get(); }
    const SF_INFO &info() const { return m_sfinfo; }
    qint64 fileSize() const { return m_fileSize; }
    const FileMetadata &metadataAsRead() const { return m_metadata; }
    // The chunk structure of a WAV, RF64 or AIFF file; nullopt for other
    // containers and for a structure the reader refused (chunkError() says
    // why).
    const std::optional<ChunkList> &chunks() const { return m_chunks; }
    QString chunkError() const { return m_chunkError; }

    // --- the metadata as edited -------------------------------------------------
    QString text(MetadataField field) const { return m_texts[size_t(field)]; }
    // A text that differs from the one held marks the document edited.
    void setText(MetadataField field, const QString &text);
    bool isDocumentEdited() const { return m_modified; }
    // The timecode text as the file's time reference gives it.
    void bextUpdateTimecodeFromFile();

    // --- conversion choices -------------------------------------------------------
    int convertMajorIndex() const { return m_convertMajor; }
    const QList<FormatEntry> &convertSubformats() const { return m_convertSubformats; }
    // The complete format word of the encoding chosen from convertSubformats().
    void setConvertFormat(int format) { m_convertFormat = format; }
    int convertFormat() const { return m_convertFormat; }
    bool channelKept(int channel) const;
    void setChannelKept(int channel, bool kept);
    bool keepBext() const { return m_keepBext; }
    void setKeepBext(bool keep) { m_keepBext = keep; }
    // The source channels a conversion keeps: the ticked ones among those
    // listed, and every channel beyond the list.
    std::vector<int> selectedChannels() const;
    // What the chosen conversion would not carry over of the file's chunks
    // and tags ("iXML", "cue", "picture"); empty when the save keeps the
    // file's bytes.
    QStringList conversionLoses() const;

    // --- saving and converting ------------------------------------------------
    // Writes a new file from the open one in the chosen conversion format
    // (calledFromConvert) or its own: over the document's own file (in
    // place: the document reopens it) or to another file (direct; from
    // Convert the new file is then offered to open). False when it failed or
    // was cancelled, with *error filled; the original file is then untouched.
    bool convertToURL(const QUrl &url, bool calledFromConvert, DocumentError *error);
    // The same, showing a failure through presentError().
    bool convertToURL(const QUrl &url, bool calledFromConvert);
    // Saves in the document's own format. A plain Save that succeeds clears
    // the edited mark; the others leave it. Fills *error on failure.
    bool saveToURL(const QUrl &url, const QString &typeName, SaveOperationType operation, DocumentError *error);
    // Writes a copy in another format (all channels, the record kept where
    // the format holds one) without opening it: a Save As whose name asks
    // for another format, once the user agreed.
    bool saveAsFormat(const QUrl &url, int format, DocumentError *error);
    // The major format a target name's extension asks for when it is not
    // the document's own, else 0.
    int formatImpliedBy(const QUrl &url) const;
    // Hands an error to whoever shows it (the window); cancellations are
    // dropped.
    void presentError(const DocumentError &error);

    // --- peaks ------------------------------------------------------------------
    bool peaksMeasured() const { return m_peaksMeasured; }
    // Per listed channel, at the file's integer scale (see peakDecibels).
    const std::vector<double> &peaks() const { return m_peaks; }

    // The file's waveform overview, read on a worker thread through a handle
    // of its own. The first call starts it; a refill restarts it, close()
    // cancels it.
    WaveformOverview *waveform();

    // --- loudness ---------------------------------------------------------------
    // The last complete loudness measurement (not ok before one, nor after a
    // refill: the file may hold other sound then).
    const LoudnessResult &loudness() const { return m_loudness; }
    bool isMeasuringLoudness() const;

    // --- transport --------------------------------------------------------------
    bool isPlaying() const { return m_playing; }
    AudioRenderer *renderer() const { return m_renderer; }
    const SliderScale &sliderScale() const { return m_sliderScale; }
    // The frame the position slider stands for.
    qint64 position() const { return m_position; }
    // Moves playback to a frame, as a slider move does.
    void seekToFrame(qint64 frame);
    // Which channel feeds the left (or right) output.
    void setOutputChannel(bool left, int channel);
    int outputChannel(bool left) const { return left ? m_leftChannel : m_rightChannel; }

public slots:
    // Toggles playback. The sender is not looked at (null is fine).
    void play(QObject *sender);
    // Every 0.1 s while playing: tops up the renderer's buffer.
    void timerCallback();
    // Moves playback to the sender's "value" (a slider on sliderScale());
    // without one, to position().
    void playSliderMoved(QObject *sender);
    // A channel pop-up changed: "leftChannel" sets the left output, any
    // other sender the right one, to the sender's "currentIndex".
    void setOutputMapping(QObject *sender);
    // The renderer's notifications, delivered on the main thread.
    void filePositionChanged();
    void eof();

    // Lists the writable subtypes of the major format at the sender's
    // "currentIndex" (the current choice when null).
    void convertFormatSelected(QObject *sender);
    // Scans every sample once and keeps each channel's peak level.
    void calculatePeak(QObject *sender);
    // Measures the file's loudness on worker threads that read it through
    // handles of their own and never call into the document; their results
    // arrive here on the main thread. Returns at once; nothing while a
    // measurement runs.
    void measureLoudness();
    // Stops a running measurement; loudnessMeasured() follows, loudness()
    // unchanged.
    void cancelLoudness();
    // Puts the last measurement into the record's five loudness fields (two
    // decimals; empty where the value is -inf or beyond what a field holds)
    // and emits textsReplaced(). Nothing without a complete measurement.
    void copyLoudnessToBext(QObject *sender);
    // Proposes a name for the converted file and asks the window for one.
    void convert(QObject *sender);
    // Cancels a running rewrite after its current block, or takes the
    // progress sheet down when none runs.
    void convertCancel(QObject *sender);

signals:
    // The edited mark changed (the window shows it in its title).
    void modificationChanged(bool modified);
    // The file was opened again (after a save in place): everything shown
    // may have changed.
    void refilled();
    void fileURLChanged(const QUrl &url);
    // Texts were set by the document itself, not typed: the window shows them.
    void textsReplaced();
    // close() has run; the controller forgets the document.
    void closed();
    void errorPresented(const DocumentError &error);
    // A save or conversion succeeded but the format could not keep all of
    // what was entered.
    void warningRaised(const QString &message, const QString &detail);

    void playingChanged(bool playing);
    void positionChanged(qint64 frame);

    void subformatsListed();
    // convert() asks for the name of the new file.
    void convertTargetWanted(const QString &folder, const QString &proposedName);
    // A conversion to another file succeeded; the controller opens it.
    void convertedFileWritten(const QUrl &url);

    void peakScanStarted();
    void peakProgress(int percent);
    void peaksCalculated();

    void loudnessStarted();
    void loudnessProgress(int percent);
    // A measurement ended: complete (loudness() holds it), cancelled, or
    // failed (errorPresented() said why first).
    void loudnessMeasured();

    void rewriteStarted();
    void rewriteProgress(int percent);
    void rewriteFinished();

private:
    void fillFromFile();
    void fillTexts();
    void setModified(bool value);
    void createRenderer();
    void setUpTransport();
    void setPosition(qint64 frame);
    void rewindUnseekable();
    void stopTransport();
    // Refuses a target another document shows or nobody may write, and
    // creates the new file beside it.
    bool prepareRewrite(rewrite::SavePlan &plan, DocumentError *error);
    bool runRewrite(rewrite::SavePlan &plan, DocumentError *error);
    // A handle to read the whole file from its start: the document's own one,
    // or for formats libsndfile cannot seek in a second handle of its own,
    // which releaseReadingHandle closes.
    SNDFILE *readingHandle();
    void releaseReadingHandle(SNDFILE *handle);
    SoundHandle m_ownReader; // readingHandle's, for a file that cannot seek
    bool reopenAfterReplace(const QString &path, DocumentError *error);
    // After the shared handle was used for something else, the renderer
    // re-reads from the position it plays; running playback goes on.
    void resumePlaybackAfterFileUse(bool resume);
    void setBusy(bool busy);
    void stopWaveform();
    void loudnessFinished(const LoudnessResult &result);
    // A refill cancels a running measurement and drops the last result.
    void forgetLoudness();
    // close(): cancels and joins the workers.
    void stopLoudness();

    SoundHandle m_sndfile;
    SF_INFO m_sfinfo{};
    qint64 m_fileSize = 0;
    QUrl m_fileURL;
    QString m_fileType;
    FileMetadata m_metadata;
    std::optional<ChunkList> m_chunks;
    QString m_chunkError;
    QStringList m_chunkNames; // chunks a libsndfile conversion drops
    std::array<QString, kMetadataFieldCount> m_texts;
    bool m_modified = false;
    bool m_closed = false;

    QWidget *m_window = nullptr;
    QPointer<QObject> m_windowObject;

    int m_convertMajor = 0;
    QList<FormatEntry> m_convertSubformats;
    int m_convertFormat = 0;
    std::vector<bool> m_channelKept;
    bool m_keepBext = false;
    bool m_openConverted = true;

    bool m_busy = false;
    bool m_cancelRequested = false;

    std::vector<double> m_peaks;
    bool m_peaksMeasured = false;
    WaveformOverview *m_waveform = nullptr;
    LoudnessScan *m_loudnessScan = nullptr;
    LoudnessResult m_loudness;

    AudioRenderer *m_renderer = nullptr;
    QTimer m_timer;
    bool m_playing = false;
    SliderScale m_sliderScale;
    qint64 m_position = 0;
    int m_leftChannel = 0;
    int m_rightChannel = 0;
};
