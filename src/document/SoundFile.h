// One open sound file: the document, its window and everything done to it.
//
// Every method runs on the main thread. The only other thread is the audio
// thread inside AudioRenderer, which never calls into the document: the
// renderer's notifications arrive here as queued-free signals emitted on the
// main thread.
#pragma once

#include "document/BextRecord.h"
#include "document/FileMetadata.h"
#include "playback/PlayPosition.h"
#include "toolkit/DocumentError.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <array>
#include <optional>
#include <vector>

class AudioRenderer;
class ChannelTableSource;
class QCheckBox;
class QComboBox;
class QDialog;
class QFileDialog;
class QLabel;
class QMessageBox;
class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QTabWidget;
class QTableView;
class QTimer;
class QWidget;
class SoundFileWindow;

// The name a conversion proposes: the document's file name with its last
// extension replaced by the target format's.
QString proposedConvertName(const QString &documentPath, const QString &extension);

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
    static QString windowNibName();
    // Creates the window from the "SoundFile" form and fills it.
    void makeWindowControllers();
    void windowControllerDidLoadNib();
    void initFromSndFile();
    bool isDocumentEdited() const;
    void controlTextDidChange();
    bool prepareSavePanel(QFileDialog *panel) const;
    QStringList writableTypesForSaveOperation(SaveOperationType operation) const;
    // Releases the renderer, the timer and the file, in that order. Never
    // prompts; the window's close handling asks about unsaved edits first.
    void close();

    QUrl fileURL() const { return m_fileURL; }
    void setFileURL(const QUrl &url);
    QString fileType() const { return m_fileType; }
    QWidget *windowForSheet() const;
    SoundFileWindow *documentWindow() const;
    // True while a peak scan or a rewrite runs its own event passes: the
    // window's other actions wait and it cannot close.
    bool isBusy() const { return m_busy; }

    // --- saving and converting ------------------------------------------------
    // Writes a new file from the open one in the format of convertSFInfo:
    // over the document's own file (in place: the document reopens it) or to
    // another file (direct; from Convert the new file then opens as a
    // document of its own). False, with an alert shown, when it failed or was
    // cancelled; the original file is then untouched.
    bool convertToURL(const QUrl &url, bool calledFromConvert);
    // Saves in the document's own format. A plain Save that succeeds clears
    // the edited mark; the others leave it.
    bool saveToURL(const QUrl &url, const QString &typeName, SaveOperationType operation, DocumentError *error);
    // File > Save / Save As... / Save a Copy...; the two with a panel open it
    // window-modally and save when it is accepted.
    void saveDocument();
    void runSavePanel(SaveOperationType operation);
    // The alert shown for the last failed rewrite (null when none is open).
    QMessageBox *failureAlert() const;

    // --- broadcast timecode ------------------------------------------------
    void bextUpdateTimecodeFromFile();
    void bextUpdateTimecode(QWidget *field);

    // --- state record --------------------------------------------------------
    SNDFILE *sndfile = nullptr;
    SF_INFO sfinfo{};
    SF_INFO convertSFInfo{};
    BextRecord bext{};
    bool read_only = false;
    bool modified = false;
    bool isPlaying = false;
    QByteArray fname;
    QTimer *timer = nullptr;
    AudioRenderer *audioRenderer = nullptr;
    struct stat file_stat{};
    int convertFormats[256] = {};
    ChannelTableSource *convertTableSource = nullptr;
    ChannelTableSource *peakTableSource = nullptr;
    // Strings and bext record exactly as read from the file, so fields the
    // user has not touched can be written back byte for byte.
    FileMetadata fileMetadata;

    // --- outlets (owned by the window) ---------------------------------------
    QMainWindow *window = nullptr;
    QTabWidget *tabView = nullptr;
    QLineEdit *stringArtist = nullptr;
    QLineEdit *stringComment = nullptr;
    QLineEdit *stringCopyright = nullptr;
    QLineEdit *stringDate = nullptr;
    QLineEdit *stringSoftware = nullptr;
    QLineEdit *stringTitle = nullptr;
    QLabel *labelFormat = nullptr;
    QLabel *labelSamplerate = nullptr;
    QLabel *labelBytesPerSample = nullptr;
    QLabel *labelChannels = nullptr;
    QLabel *labelFrames = nullptr;
    QLabel *labelLength = nullptr;
    QLabel *labelFilesize = nullptr;
    QLabel *labelBytesPerSecond = nullptr;
    QLabel *labelSampleFormat = nullptr;
    QLabel *labelSections = nullptr;
    QPlainTextEdit *bextCodingHistory = nullptr;
    QLineEdit *bextDescription = nullptr;
    QLineEdit *bextOriginationDate = nullptr;
    QLineEdit *bextOriginationTime = nullptr;
    QLineEdit *bextOriginator = nullptr;
    QLineEdit *bextOriginatorRef = nullptr;
    QLineEdit *bextUMID = nullptr;
    QLineEdit *bextVersion = nullptr;
    QLineEdit *bextTimecode = nullptr;
    QTableView *peakTable = nullptr;
    QProgressBar *peakProgress = nullptr;
    QLabel *peakNotYet = nullptr;
    QPushButton *peakCalculate = nullptr;
    QComboBox *convertFormat = nullptr;
    QComboBox *convertSubformat = nullptr;
    QTableView *convertTable = nullptr;
    QCheckBox *convertKeepBEXT = nullptr;
    QDialog *convertSheet = nullptr;
    QProgressBar *convertProgress = nullptr;
    QPushButton *playButton = nullptr;
    QComboBox *leftChannel = nullptr;
    QComboBox *rightChannel = nullptr;
    QSlider *playSlider = nullptr;
    QLabel *playPos = nullptr;

public slots:
    // --- transport ---------------------------------------------------------
    // Toggles playback. The sender is not looked at (null is fine).
    void play(QObject *sender);
    // Every 0.1 s while playing: tops up the renderer's buffer, renews the text.
    void timerCallback();
    // Shows the slider's position as time in playPos.
    void updatePlayPos();
    // Moves playback to the position of the sender (a slider; playSlider when
    // the sender is null or something else).
    void playSliderMoved(QObject *sender);
    // A channel pop-up changed: leftChannel sets the left output, any other
    // sender the right one.
    void setOutputMapping(QObject *sender);
    // The renderer's notifications, delivered on the main thread.
    void filePositionChanged();
    void eof();

    // --- conversion choices and analysis ---------------------------------------
    // Lists the writable subtypes of the major format selected in the sender
    // (convertFormat when null).
    void convertFormatSelected(QObject *sender);
    // Scans every sample once and lists each channel's peak level.
    void calculatePeak(QObject *sender);
    // Proposes a name for the converted file and asks for it in a save panel.
    void convert(QObject *sender);
    // The convert panel ended; a non-zero code means the user chose a file.
    void convertFileNameChosen(QObject *panel, int returnCode);
    // Cancels a running rewrite after its current block (the partial file is
    // removed), or takes the progress sheet down when none runs.
    void convertCancel(QObject *sender);
    // Disposes of an alert once it has been dismissed.
    void sheetReleaser(QObject *object);

public:
    // The frame the play slider stands for (the slider is scaled for files
    // longer than an int can count).
    qint64 sliderFrame() const;

signals:
    // The edited mark changed (the window shows it in its title).
    void modificationChanged(bool modified);
    // close() has run; the controller forgets the document.
    void closed();

private:
    void setModified(bool value);
    void showProperties();
    void showMetadata();
    void setTabPresent(QWidget *page, int position, bool present);
    void connectControls();
    void setUpFormatPopUps();
    void setUpChannelModels();
    void setUpTransport();
    void setSliderFrame(qint64 frame);
    void createRenderer();
    void rewindUnseekable();
    void stopTransport();
    void createConvertSheet();
    // The source channels a conversion keeps: the ticked ones among those
    // listed, and every channel beyond the list.
    std::vector<int> selectedChannels() const;
    // What a file of this format would not keep of the given metadata, in
    // words for a warning.
    QStringList metadataNotKept(int format, const std::array<std::optional<QByteArray>, 6> &strings, bool withBext) const;
    // A handle to read the whole file from its start: the document's own one,
    // or for formats libsndfile cannot seek in (XI, some raw codings) a
    // second handle of its own, which releaseReadingHandle closes.
    SNDFILE *readingHandle();
    void releaseReadingHandle(SNDFILE *handle);
    void showRewriteFailure(const QString &message, const QString &detail);
    void showWarning(const QString &message, const QString &detail);
    bool reopenAfterReplace(const QUrl &url);
    // After the shared handle was used for something else, the renderer
    // re-reads from the position it plays; running playback goes on.
    void resumePlaybackAfterFileUse(bool resume);
    void connectEditFields();

    QUrl m_fileURL;
    QString m_fileType;
    QPointer<SoundFileWindow> m_window;
    bool m_busy = false;
    bool m_cancelRequested = false;
    QPointer<QMessageBox> m_failureAlert;
    bool m_closed = false;
    // Guards against marking the document edited while the program itself
    // fills the text fields.
    bool m_filling = false;
    SliderScale m_sliderScale;
    // The "Strings" and "BEXT" pages and where they stand, so a later fill
    // for another container can hide or bring them back.
    QWidget *m_stringsPage = nullptr;
    QWidget *m_bextPage = nullptr;
};
