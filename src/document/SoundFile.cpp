#include "document/SoundFile.h"

#include "document/SoundFileWindow.h"
#include "playback/AudioRenderer.h"

#include <QFile>
#include <QFileDialog>
#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QHeaderView>
#include <QSlider>
#include <QTableView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstring>

SoundFile::SoundFile(QObject *parent) : QObject(parent) {}

SoundFile::~SoundFile()
{
    close();
}

QString SoundFile::windowNibName()
{
    return QStringLiteral("SoundFile");
}

bool SoundFile::readFromURL(const QUrl &url, const QString &typeName, DocumentError *error)
{
    Q_UNUSED(typeName);
    if (error)
        *error = DocumentError{};
    if (!url.isLocalFile())
        return false;

    const QString path = url.toLocalFile();
    fname = QFile::encodeName(path);
    sfinfo = SF_INFO{};
    // libsndfile happily opens a directory or a FIFO and then blocks or fails
    // in odd ways; only regular files are sound files.
    struct stat st {};
    if (::stat(fname.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("This is not a regular file.")};
        return false;
    }
    sndfile = sf_open(fname.constData(), SFM_READ, &sfinfo);
    if (!sndfile) {
        char text[256];
        std::strncpy(text, sf_strerror(nullptr), sizeof text - 1);
        text[sizeof text - 1] = '\0';
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1, QString::fromLocal8Bit(text)};
        return false;
    }
    if (::stat(fname.constData(), &st) == 0)
        file_stat = st;
    m_fileURL = url;
    m_fileType = QFileInfo(path).suffix().toLower();
    modified = false;
    return true;
}

void SoundFile::makeWindowControllers()
{
    if (m_window)
        return;
    m_window = new SoundFileWindow(this);
    windowControllerDidLoadNib();
}

void SoundFile::windowControllerDidLoadNib()
{
    Ui::SoundFile &ui = m_window->ui;
    window = m_window;
    tabView = ui.tabView;
    stringArtist = ui.stringArtist;
    stringComment = ui.stringComment;
    stringCopyright = ui.stringCopyright;
    stringDate = ui.stringDate;
    stringSoftware = ui.stringSoftware;
    stringTitle = ui.stringTitle;
    labelFormat = ui.labelFormat;
    labelSamplerate = ui.labelSamplerate;
    labelBytesPerSample = ui.labelBytesPerSample;
    labelChannels = ui.labelChannels;
    labelFrames = ui.labelFrames;
    labelLength = ui.labelLength;
    labelFilesize = ui.labelFilesize;
    labelBytesPerSecond = ui.labelBytesPerSecond;
    labelSampleFormat = ui.labelSampleFormat;
    labelSections = ui.labelSections;
    bextCodingHistory = ui.bextCodingHistory;
    bextDescription = ui.bextDescription;
    bextOriginationDate = ui.bextOriginationDate;
    bextOriginationTime = ui.bextOriginationTime;
    bextOriginator = ui.bextOriginator;
    bextOriginatorRef = ui.bextOriginatorRef;
    bextUMID = ui.bextUMID;
    bextVersion = ui.bextVersion;
    bextTimecode = ui.bextTimecode;
    peakTable = ui.peakTable;
    peakProgress = ui.peakProgress;
    peakNotYet = ui.peakNotYet;
    peakCalculate = ui.peakCalculate;
    convertFormat = ui.convertFormat;
    convertSubformat = ui.convertSubformat;
    convertTable = ui.convertTable;
    convertKeepBEXT = ui.convertKeepBEXT;
    playButton = ui.playButton;
    leftChannel = ui.leftChannel;
    rightChannel = ui.rightChannel;
    playSlider = ui.playSlider;
    playPos = ui.playPos;
    convertSheet = ui.convertSheet;
    convertProgress = ui.convertProgress;
    createConvertSheet();

    m_window->setWindowFilePath(m_fileURL.toLocalFile());
    connect(this, &SoundFile::modificationChanged, m_window.data(), &QWidget::setWindowModified);
    connectEditFields();
    connectControls();
    initFromSndFile();
}

void SoundFile::connectEditFields()
{
    for (QLineEdit *field : {stringTitle, stringArtist, stringComment, stringCopyright, stringSoftware, stringDate,
                             bextDescription, bextOriginator, bextOriginatorRef, bextOriginationDate,
                             bextOriginationTime, bextUMID, bextVersion, bextTimecode})
        connect(field, &QLineEdit::textChanged, this, &SoundFile::controlTextDidChange);
    connect(bextCodingHistory, &QPlainTextEdit::textChanged, this, &SoundFile::controlTextDidChange);
}

void SoundFile::connectControls()
{
    connect(playButton, &QPushButton::clicked, this, [this] { play(playButton); });
    // Dragging only renews the text; the renderer seeks once the slider is
    // released (or moved by click or key), not on every mouse move.
    playSlider->setTracking(false);
    connect(playSlider, &QSlider::sliderMoved, this, [this](int value) {
        playPos->setText(playPosText(m_sliderScale.frameForValue(value), sfinfo.samplerate));
    });
    connect(playSlider, &QSlider::valueChanged, this, [this] { playSliderMoved(playSlider); });
    for (QComboBox *popUp : {leftChannel, rightChannel})
        connect(popUp, &QComboBox::currentIndexChanged, this, [this, popUp] {
            if (!m_filling)
                setOutputMapping(popUp);
        });
    connect(convertFormat, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling)
            convertFormatSelected(convertFormat);
    });
    for (QTableView *table : {convertTable, peakTable})
        table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    connect(peakCalculate, &QPushButton::clicked, this, [this] { calculatePeak(peakCalculate); });

    connect(m_window->ui.convertButton, &QPushButton::clicked, this, [this] { convert(m_window->ui.convertButton); });

    SoundFileWindow *w = m_window;
    for (QAction *a : {w->saveAction, w->saveAsAction, w->saveCopyAction, w->convertAction})
        a->setEnabled(true);
    connect(w->saveAction, &QAction::triggered, this, &SoundFile::saveDocument);
    connect(w->saveAsAction, &QAction::triggered, this, [this] { runSavePanel(SaveOperationType::SaveAs); });
    connect(w->saveCopyAction, &QAction::triggered, this, [this] { runSavePanel(SaveOperationType::SaveTo); });
    connect(w->convertAction, &QAction::triggered, this, [this, w] {
        w->ui.tabView->setCurrentWidget(w->ui.Convert);
        convert(nullptr);
    });
    w->playAction->setEnabled(true);
    connect(w->playAction, &QAction::triggered, this, [this] { play(playButton); });
    w->peakAction->setEnabled(true);
    connect(w->peakAction, &QAction::triggered, this, [this, w] {
        w->ui.tabView->setCurrentWidget(w->ui.Peak);
        calculatePeak(peakCalculate);
    });
}

SoundFileWindow *SoundFile::documentWindow() const
{
    return m_window;
}

QWidget *SoundFile::windowForSheet() const
{
    return m_window;
}

void SoundFile::setFileURL(const QUrl &url)
{
    m_fileURL = url;
    if (m_window)
        m_window->setWindowFilePath(url.toLocalFile());
}

bool SoundFile::isDocumentEdited() const
{
    return modified;
}

void SoundFile::controlTextDidChange()
{
    if (!m_filling)
        setModified(true);
}

void SoundFile::setModified(bool value)
{
    if (modified == value)
        return;
    modified = value;
    emit modificationChanged(value);
}

bool SoundFile::prepareSavePanel(QFileDialog *panel) const
{
    // A document is only ever saved in the format it was opened in, so the
    // panel offers that one type, with its extension visible.
    const QString suffix = m_fileType.isEmpty() ? QString() : m_fileType;
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setNameFilters(writableTypesForSaveOperation(SaveOperationType::Save));
    if (!suffix.isEmpty())
        panel->setDefaultSuffix(suffix);
    return true;
}

QStringList SoundFile::writableTypesForSaveOperation(SaveOperationType) const
{
    if (m_fileType.isEmpty())
        return {tr("Sound file (*)")};
    return {tr("%1 sound file (*.%2)").arg(m_fileType.toUpper(), m_fileType)};
}

SNDFILE *SoundFile::readingHandle()
{
    if (sfinfo.seekable || !sndfile)
        return sndfile;
    SF_INFO info{};
    SNDFILE *handle = sf_open(fname.constData(), SFM_READ, &info);
    if (handle && (info.channels != sfinfo.channels || info.format != sfinfo.format)) {
        // Another program replaced the file; read nothing rather than
        // something else.
        sf_close(handle);
        return nullptr;
    }
    return handle;
}

void SoundFile::releaseReadingHandle(SNDFILE *handle)
{
    if (handle && handle != sndfile)
        sf_close(handle);
}

void SoundFile::close()
{
    if (m_closed)
        return;
    m_closed = true;
    // The renderer goes first: releasing it stops the audio output, so no
    // callback can run while the file underneath it is closed.
    delete audioRenderer;
    audioRenderer = nullptr;
    if (timer) {
        timer->stop();
        delete timer;
        timer = nullptr;
    }
    if (sndfile) {
        sf_close(sndfile);
        sndfile = nullptr;
    }
    emit closed();
}
