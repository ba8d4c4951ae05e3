// Filling the document window from the open file.
#include "document/SoundFile.h"

#include "document/FileReport.h"
#include "document/FileText.h"
#include "document/SoundFileWindow.h"
#include "analysis/ChannelTableSource.h"
#include "playback/AudioRenderer.h"
#include "rewrite/FormatList.h"
#include "rewrite/Timecode.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTableView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>

namespace {

constexpr int kStringsTabPosition = 1;
constexpr int kBextTabPosition = 2;
// The channel models, pop-ups and tables list at most this many channels.
constexpr int kListedChannels = 256;

} // namespace

void SoundFile::initFromSndFile()
{
    m_filling = true;
    showProperties();
    showMetadata();
    setUpFormatPopUps();
    setUpChannelModels();
    setUpTransport();
    m_filling = false;
}

void SoundFile::setUpFormatPopUps()
{
    convertFormat->clear();
    for (const FormatEntry &entry : majorFormats())
        convertFormat->addItem(entry.name);
    convertFormat->setCurrentIndex(majorFormatIndex(sfinfo.format));
    convertFormatSelected(convertFormat);
}

void SoundFile::setUpChannelModels()
{
    // The views let go of the previous fill's models before they are released.
    ChannelTableSource *oldSelection = convertTableSource;
    ChannelTableSource *oldPeaks = peakTableSource;
    convertTableSource = new ChannelTableSource(this);
    convertTableSource->setNumChannels(sfinfo.channels);
    convertTable->setModel(convertTableSource);
    peakTableSource = new ChannelTableSource(this);
    peakTableSource->setNumChannels(sfinfo.channels);
    peakTableSource->setType(ChannelTableTypePeak);
    peakTable->setModel(nullptr);
    delete oldSelection;
    delete oldPeaks;

    convertTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    // The peak tab returns to its first state: nothing measured yet.
    peakTable->hide();
    peakProgress->hide();
    peakNotYet->show();
    peakCalculate->show();
    if (m_window)
        m_window->peakAction->setEnabled(true);

    const bool truncated = sfinfo.channels > kListedChannels;
    const QString note = tr("This file has %1 channels; only the first %2 are listed. "
                            "A conversion always keeps the channels that are not listed.")
                             .arg(sfinfo.channels).arg(kListedChannels);
    for (QLabel *label : {m_window->ui.convertChannelsNote, m_window->ui.peakChannelsNote}) {
        label->setText(note);
        label->setVisible(truncated);
    }
}

void SoundFile::setUpTransport()
{
    // A refill replaces the renderer; whatever played through the old one
    // has stopped with it.
    stopTransport();
    m_sliderScale = SliderScale::forFrames(sfinfo.frames);
    playSlider->setMaximum(m_sliderScale.maximum());

    leftChannel->clear();
    rightChannel->clear();
    const int listed = std::min(std::max(sfinfo.channels, 0), kListedChannels);
    for (int i = 0; i < listed; ++i) {
        const QString title = QString::asprintf("Channel #%d", i);
        leftChannel->addItem(title);
        rightChannel->addItem(title);
    }
    if (listed > 1)
        rightChannel->setCurrentIndex(1);

    createRenderer();
    // libsndfile cannot seek in some codings (XI, GSM in WAV, ...): such a
    // file plays from its start only.
    playSlider->setEnabled(sfinfo.seekable);
    playSlider->setToolTip(sfinfo.seekable ? QString() : tr("This file's coding can only be played from its start."));
    setSliderFrame(0);
    updatePlayPos();
}

void SoundFile::createRenderer()
{
    delete audioRenderer;
    audioRenderer = new AudioRenderer(this);
    audioRenderer->set_sndfile(sndfile, &sfinfo);
    audioRenderer->setLeftOutputMapping(std::max(leftChannel->currentIndex(), 0));
    audioRenderer->setRightOutputMapping(std::max(rightChannel->currentIndex(), 0));
    connect(audioRenderer, &AudioRenderer::filePositionChanged, this, &SoundFile::filePositionChanged);
    connect(audioRenderer, &AudioRenderer::eof, this, &SoundFile::eof);
}

void SoundFile::rewindUnseekable()
{
    // Back to the start the only way such a file allows: open it again.
    SF_INFO info{};
    SNDFILE *reopened = sf_open(fname.constData(), SFM_READ, &info);
    if (!reopened)
        return;
    if (info.channels != sfinfo.channels || info.format != sfinfo.format) {
        sf_close(reopened);
        return;
    }
    const bool wasPlaying = isPlaying;
    stopTransport();
    delete audioRenderer;
    audioRenderer = nullptr;
    sf_close(sndfile);
    sndfile = reopened;
    createRenderer();
    if (wasPlaying)
        play(this);
}

void SoundFile::convertFormatSelected(QObject *sender)
{
    auto *popUp = qobject_cast<QComboBox *>(sender);
    if (!popUp)
        popUp = convertFormat;
    if (!popUp || !convertSubformat)
        return;
    const QList<FormatEntry> subformats = writableSubformats(popUp->currentIndex());
    convertSubformat->clear();
    for (const FormatEntry &entry : subformats) {
        // The table has room for 256 entries; libsndfile lists far fewer.
        if (convertSubformat->count() >= int(std::size(convertFormats)))
            break;
        convertSubformat->addItem(entry.name);
        convertFormats[convertSubformat->count() - 1] = entry.format;
    }
    if (convertSubformat->count() > 0)
        convertSubformat->setCurrentIndex(0);
}

void SoundFile::showProperties()
{
    // The same texts the command line's report prints, label by label.
    const ReportSection section = propertiesSection(sndfile, sfinfo, qint64(file_stat.st_size));
    for (const ReportField &field : section.fields)
        if (auto *label = m_window->findChild<QLabel *>(field.outlet)) {
            label->setText(field.text);
            // The accessible name says what the label is; screen readers
            // find what it shows in the description.
            label->setAccessibleDescription(field.text);
        }
}

void SoundFile::setTabPresent(QWidget *page, int position, bool present)
{
    const int index = tabView->indexOf(page);
    if (!present && index >= 0) {
        tabView->removeTab(index);
    } else if (present && index < 0) {
        // A later fill (after a conversion onto the document's own path) may
        // be for a container that offers the tab again.
        tabView->insertTab(std::min(position, tabView->count()), page, page->objectName());
    }
}

void SoundFile::showMetadata()
{
    if (!m_stringsPage) {
        m_stringsPage = tabView->findChild<QWidget *>(QStringLiteral("Strings"));
        m_bextPage = tabView->findChild<QWidget *>(QStringLiteral("BEXT"));
    }
    fileMetadata = readFileMetadata(sndfile);

    setTabPresent(m_stringsPage, kStringsTabPosition, formatOffersStrings(sfinfo.format));
    QLineEdit *const stringFields[6] = {stringTitle, stringCopyright, stringSoftware, stringArtist, stringComment, stringDate};
    for (int i = 0; i < 6; ++i) {
        // A string the file lacks leaves its field as it was.
        if (fileMetadata.strings[size_t(i)])
            stringFields[i]->setText(decodeFileText(*fileMetadata.strings[size_t(i)]));
    }

    // AIFF has no date string; the field shows that rather than take text
    // that a save would lose.
    const bool aiff = (sfinfo.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF;
    stringDate->setReadOnly(aiff);
    stringDate->setToolTip(aiff ? tr("AIFF files cannot store a date.") : QString());

    setTabPresent(m_bextPage, std::min(kBextTabPosition, tabView->indexOf(m_stringsPage) + 1), formatOffersBext(sfinfo.format));
    if (fileMetadata.hasBext) {
        bext = fileMetadata.bext;
        bextVersion->setText(QString::number(bext.version));
        bextDescription->setText(bextFieldText(bext, BextField::Description));
        bextOriginator->setText(bextFieldText(bext, BextField::Originator));
        bextOriginatorRef->setText(bextFieldText(bext, BextField::OriginatorRef));
        bextOriginationDate->setText(bextFieldText(bext, BextField::OriginationDate));
        bextOriginationTime->setText(bextFieldText(bext, BextField::OriginationTime));
        bextUMID->setText(bextFieldText(bext, BextField::UMID));
        // The UMID is binary; its text is only what precedes the first zero
        // byte, so the whole identifier is offered in hexadecimal too.
        bextUMID->setToolTip(hexBytes(bextFieldRawBytes(bext, BextField::UMID), 4));
        bextCodingHistory->setPlainText(bextFieldText(bext, BextField::CodingHistory));
        bextUpdateTimecodeFromFile();
        convertKeepBEXT->setEnabled(true);
        convertKeepBEXT->setChecked(true);
    } else {
        // No record in the file: nothing of an earlier one may find its way
        // into a later save as if it had been read.
        bext = BextRecord{};
        convertKeepBEXT->setEnabled(false);
        convertKeepBEXT->setChecked(false);
    }
}

void SoundFile::bextUpdateTimecodeFromFile()
{
    bextTimecode->setText(timecodeText(timeReference(bext), sfinfo.samplerate));
}

void SoundFile::bextUpdateTimecode(QWidget *field)
{
    auto *edit = qobject_cast<QLineEdit *>(field);
    if (!edit)
        return;
    quint64 reference = 0;
    if (parseTimecode(edit->text(), sfinfo.samplerate, &reference))
        setTimeReference(bext, reference);
}
