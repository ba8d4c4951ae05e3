// One open sound file and what is done to it: the metadata as read and as
// edited, playback (Transport), the conversion choices, and the long work,
// each run on a Job's worker: saving and converting here, the peak scan, the
// loudness measurement, the overview and the audio checksum in objects of
// their own.
// No widgets: the window fills itself from the document, hands edits back
// through the setters and slots, and follows the signals.
//
// Threads: GUI thread only, methods and signals. Workers and the audio
// thread never call in: jobs read through handles of their own and hand
// back results that are applied here.
#pragma once

#include "filelogic/ChannelNames.h"
#include "document/ConversionChoices.h"
#include "document/FileAsRead.h"
#include "document/MarkerEdits.h"
#include "document/SaveJob.h"
#include "document/SaveTargetCheck.h"
#include "filelogic/MetadataField.h"
#include "rewrite/MetadataSave.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class ChecksumJob;
class LoudnessJob;
class PeakJob;
class QWidget;
class Transport;
class WaveformJob;

enum class SaveOperationType { Save = 0, SaveAs = 1, SaveTo = 2, Autosave = 3 };

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
    // Cancels every job and waits for its worker, then releases playback and
    // the file. Never prompts; the window asks about unsaved edits first.
    void close();
    bool isClosed() const { return m_closed; }
    // Reads the file again, dropping every edit.
    bool revertToSaved(DocumentError *error);

    QUrl fileURL() const { return m_fileURL; }
    QString fileType() const { return m_fileType; }
    // The file as it was opened (device and inode): what "the same file"
    // means for the open documents.
    const FileIdentity &fileIdentity() const { return m_file.identity; }
    // Finds the open document that shows a file; the document controller
    // sets it on the documents it opens. A save onto a file another
    // document shows is refused: that one would go on showing, and later
    // save, what the file held before.
    using DocumentFinder = std::function<SoundFile *(const QString &path)>;
    void setDocumentFinder(DocumentFinder finder) { m_findDocument = std::move(finder); }

    // The window sheets and alerts belong to; the window sets it.
    QWidget *windowForSheet() const { return m_windowObject ? m_window : nullptr; }
    void setWindowForSheet(QWidget *window, QObject *windowObject) { m_window = window; m_windowObject = windowObject; }

    // True while a save or conversion runs.
    bool isBusy() const { return m_save->isRunning(); }
    // Waits, without an event pass, for the peak scan, a save, the loudness
    // measurement and the checksum, and applies their results (tools and tests; the
    // window never waits).
    void waitForJobs();

    // --- the file as read ------------------------------------------------------
    const SF_INFO &info() const { return m_file.info; }
    qint64 fileSize() const { return m_file.size; }
    const FileMetadata &metadataAsRead() const { return m_file.metadata; }
    // The chunk structure of a WAV, RF64 or AIFF file; nullopt for other
    // containers and for a structure the reader refused (chunkError() says
    // why).
    const std::optional<ChunkList> &chunks() const { return m_file.chunks; }
    QString chunkError() const { return m_file.chunkError; }

    // --- the metadata as edited -------------------------------------------------
    QString text(MetadataField field) const { return m_texts[size_t(field)]; }
    // A text that differs from the one held marks the document edited.
    void setText(MetadataField field, const QString &text);
    // The name of the iXML track with this CHANNEL_INDEX (from 1) as edited;
    // empty for none. Setting one works as setText does.
    QString trackName(int channel) const;
    void setTrackName(int channel, const QString &name);
    // How the channels are named, with the track names as edited.
    ChannelNames channelNames() const { return {m_texts.trackNames, m_file.channelPositions}; }
    bool isDocumentEdited() const { return m_modified; }

    // --- markers ------------------------------------------------------------------
    // The file's cue points, regions, AIFF markers and loops, ordered by
    // frame, with their labels as edited. Empty without a chunk structure.
    const QList<Marker> &markers() const { return m_markers.markers(); }
    // Gives marker `index` a new label; one that differs marks the document
    // edited, and a save that edits the file's chunks stores it. Loops have
    // no label to set.
    void setMarkerLabel(int index, const QString &label);
    // Sets a top-level chunk by id (an "MD5 " checksum) for the next save
    // to write, and marks the document edited; only where chunks() holds
    // the file's chunks. A refill drops it: the file holds it then, or not.
    void setChunk(const ChunkPayload &chunk);
    const QList<ChunkPayload> &chunkEdits() const { return m_markers.chunks(); }

    // --- conversion choices -------------------------------------------------------
    ConversionChoices &conversion() { return m_conversion; }
    const ConversionChoices &conversion() const { return m_conversion; }
    // What the chosen conversion would not carry over of the file's chunks
    // and tags ("iXML", "cue", "picture"); empty when the save keeps the
    // file's bytes.
    QStringList conversionLoses() const { return m_file.conversionLoses(m_conversion.settings()); }

    // --- saving and converting ------------------------------------------------
    // Each of these runs the save as a job and waits for it (without an
    // event pass) before it returns; the window uses the start... variants.
    //
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
    // The same three started on a worker: they return at once, true when the
    // save started. rewriteFinished() ends every save that started; a
    // failure is shown through presentError().
    bool startSave(const QUrl &url, SaveOperationType operation);
    bool startConversion(const QUrl &url);
    bool startSaveAsFormat(const QUrl &url, int format);
    // The major format a target name's extension asks for when it is not
    // the document's own, else 0.
    int formatImpliedBy(const QUrl &url) const { return SaveTargetCheck::formatImpliedBy(url, m_file.info.format); }
    // What the user should agree to before a save replaces the file url
    // names: that its other names keep the old contents, or that its owner
    // changes. Empty when there is nothing to ask, as for a save of the
    // document's own file that fits in place (every name, the owner and the
    // inode stay). A conversion (converting) is never known to fit.
    QString replaceQuestion(const QUrl &url, bool converting = false) const;
    // The user agreed: the next save over that file asks nothing more, and
    // may give that name a file of its own apart from its other names.
    void allowReplacing(const QUrl &url) { m_targetCheck.allow(url); }
    // Hands an error to whoever shows it (the window); cancellations are
    // dropped.
    void presentError(const DocumentError &error)
    {
        if (!error.isCancellation())
            emit errorPresented(error);
    }

    // --- measurements and playback -------------------------------------------
    // Each forgets what it measured at a refill; close() cancels them.
    PeakJob *peakScan() const { return m_peakScan; }
    LoudnessJob *loudness() const { return m_loudness; }
    ChecksumJob *checksum() const { return m_checksum; }
    // The first call starts the overview; a refill restarts it.
    WaveformJob *waveform();
    Transport *transport() const { return m_transport; }
    // The property a channel pop-up carries for setOutputMapping().
    static constexpr const char *kFeedsLeftOutput = "feedsLeftOutput";

public slots:
    // Toggles playback. The sender is not looked at (null is fine).
    void play(QObject *sender);
    // Moves playback to the sender's "value" (a slider on the transport's
    // sliderScale()); without one, to the transport's position().
    void playSliderMoved(QObject *sender);
    // A channel pop-up changed: sets the output its kFeedsLeftOutput
    // property names (true: the left one, else the right) to the sender's
    // "currentIndex".
    void setOutputMapping(QObject *sender);

    // Lists the writable subtypes of the major format at the sender's
    // "currentIndex" (the current choice when null).
    void convertFormatSelected(QObject *sender);
    // Starts the peak scan (peakScan() reports). The sender is not looked at.
    void calculatePeak(QObject *sender);
    // Starts the loudness measurement (loudness() reports).
    void measureLoudness();
    // Puts the last measurement into the record's five loudness fields (two
    // decimals; empty where the value is -inf or beyond what a field holds)
    // and emits textsReplaced(). Nothing without a complete measurement.
    void copyLoudnessToBext(QObject *sender);
    // Proposes a name for the converted file and asks the window for one.
    void convert(QObject *sender);
    // Cancels a running save or conversion after its current block, or
    // takes the progress sheet down when none runs.
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

    void subformatsListed();
    // convert() asks for the name of the new file.
    void convertTargetWanted(const QString &folder, const QString &proposedName);
    // A conversion to another file succeeded; the controller opens it.
    void convertedFileWritten(const QUrl &url);

    void rewriteStarted();
    void rewriteProgress(int percent);
    // A save or conversion ended, after everything it changed in the
    // document (a refill, the edited mark); ok when it succeeded.
    void rewriteFinished(bool ok);

private:
    // Starts a save and, with `wait`, waits for it and fills *error (may be
    // null); without, shows a failure to start. The outcome, or whether it
    // started.
    bool save(const QUrl &url, SaveTask task, bool wait, DocumentError *error);
    SaveTask formatTask(int format) const;
    void connectMeasurements();
    void fillFromFile(SoundHandle handle);
    void setModified(bool value);
    // The save of url as startRewrite runs it (agreed: the user agreed to
    // replace that file as it is).
    std::shared_ptr<rewrite::SavePlan> planRewrite(const QUrl &url, const SaveTask &task, bool agreed) const;
    bool startRewrite(const QUrl &url, const SaveTask &task, DocumentError *error);
    void finishRewrite(const rewrite::SavePlan &plan, const SaveTask &task, const RewriteResult &result);
    bool reopenAfterReplace(const QString &path, DocumentError *error);

    QUrl m_fileURL;
    QString m_fileType;
    DocumentFinder m_findDocument;
    FileAsRead m_file; // as last read or saved
    MarkerEdits m_markers;
    rewrite::MetadataTexts m_texts;
    SaveTargetCheck m_targetCheck;
    bool m_modified = false;
    bool m_closed = false;

    QWidget *m_window = nullptr;
    QPointer<QObject> m_windowObject;

    ConversionChoices m_conversion;
    Transport *m_transport = nullptr;

    SaveJob *m_save = nullptr;

    PeakJob *m_peakScan = nullptr;
    LoudnessJob *m_loudness = nullptr;
    ChecksumJob *m_checksum = nullptr;
    WaveformJob *m_waveform = nullptr;
};
