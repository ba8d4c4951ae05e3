// The document's saving: gathers what the window holds into a rewrite job,
// runs it under the progress sheet and takes the result back into the
// document.
#include "document/SoundFile.h"

#include "analysis/ChannelTableSource.h"
#include "document/AccessibleNames.h"
#include "document/FileReport.h"
#include "document/FileText.h"
#include "document/SoundFileWindow.h"
#include "playback/AudioRenderer.h"
#include "rewrite/FileRewriter.h"
#include "rewrite/Timecode.h"
#include "toolkit/DocumentController.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstring>

namespace {

// What a field holds as bytes for the file: the bytes it was read from when
// the user left it alone, otherwise its text as UTF-8.
QByteArray fieldBytes(const QString &text, const QByteArray &original)
{
    return text == decodeFileText(original) ? original : text.toUtf8();
}

// Cuts UTF-8 text to at most `width` bytes without splitting a character.
QByteArray cutUtf8(const QByteArray &bytes, int width)
{
    if (bytes.size() <= width)
        return bytes;
    int end = width;
    while (end > 0 && (uchar(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}

void storeField(char *field, int width, const QString &text, const QByteArray &original)
{
    if (text == decodeFileText(original))
        return; // untouched: the record keeps the bytes it was read with
    const QByteArray bytes = cutUtf8(text.toUtf8(), width);
    std::memset(field, 0, size_t(width));
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

bool isAscii(const QByteArray &bytes)
{
    for (char c : bytes)
        if (uchar(c) > 0x7F)
            return false;
    return true;
}

} // namespace

void SoundFile::createConvertSheet()
{
    // The sheet comes from the form; here it learns what Cancel means.
    QPushButton *cancel = m_window->ui.convertSheetButtons->button(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("convertCancelButton"));
    convertProgress->setRange(0, 100);
    connect(cancel, &QPushButton::clicked, this, [this, cancel] { convertCancel(cancel); });
    // Escape or the window manager's close button mean cancel, too.
    connect(convertSheet, &QDialog::rejected, this, [this] { if (m_busy) convertCancel(convertSheet); });
    applyAccessibleNames(convertSheet);
}

QMessageBox *SoundFile::failureAlert() const
{
    return m_failureAlert;
}

void SoundFile::showRewriteFailure(const QString &message, const QString &detail)
{
    auto *alert = new QMessageBox(m_window);
    alert->setObjectName(QStringLiteral("rewriteFailureAlert"));
    alert->setIcon(QMessageBox::Critical);
    alert->setText(message);
    alert->setInformativeText(detail);
    alert->addButton(tr("Exit"), QMessageBox::AcceptRole);
    alert->setWindowModality(Qt::WindowModal);
    connect(alert, &QMessageBox::finished, this, [this, alert] { sheetReleaser(alert); });
    m_failureAlert = alert;
    alert->open();
}

void SoundFile::showWarning(const QString &message, const QString &detail)
{
    auto *alert = new QMessageBox(QMessageBox::Warning, tr("Saved with changes"), message, QMessageBox::Ok, m_window);
    alert->setObjectName(QStringLiteral("rewriteWarningAlert"));
    alert->setInformativeText(detail);
    alert->setWindowModality(Qt::WindowModal);
    connect(alert, &QMessageBox::finished, this, [this, alert] { sheetReleaser(alert); });
    alert->open();
}

void SoundFile::sheetReleaser(QObject *object)
{
    if (object)
        object->deleteLater();
}

void SoundFile::convertCancel(QObject *)
{
    if (m_busy) {
        m_cancelRequested = true;
        return;
    }
    if (convertSheet)
        convertSheet->hide();
}

void SoundFile::resumePlaybackAfterFileUse(bool resume)
{
    if (!audioRenderer)
        return;
    // A file that cannot seek was read through a handle of its own; the
    // renderer's handle has not moved.
    if (sfinfo.seekable)
        audioRenderer->seek(audioRenderer->currentPosition());
    if (resume)
        audioRenderer->play();
}

bool SoundFile::reopenAfterReplace(const QUrl &url)
{
    const QByteArray path = QFile::encodeName(url.toLocalFile());
    SF_INFO info{};
    SNDFILE *reopened = sf_open(path.constData(), SFM_READ, &info);
    if (!reopened) {
        // The old handle still reads the previous contents; the document
        // stays usable on it, and the user learns what happened.
        showRewriteFailure(tr("The saved file could not be opened again"), QString::fromLocal8Bit(sf_strerror(nullptr)));
        return false;
    }
    // The renderer reads through the old handle: it goes before the handle.
    stopTransport();
    delete audioRenderer;
    audioRenderer = nullptr;
    sf_close(sndfile);
    sndfile = reopened;
    sfinfo = info;
    fname = path;
    struct stat st {};
    if (::stat(path.constData(), &st) == 0)
        file_stat = st;
    initFromSndFile();
    setFileURL(url);
    return true;
}

std::vector<int> SoundFile::selectedChannels() const
{
    // Channels beyond the listed ones cannot be deselected, so they stay.
    std::vector<int> channels;
    for (int c = 0; c < sfinfo.channels; ++c)
        if (c >= 256 || (convertTableSource && convertTableSource->channelIsSelected(c)))
            channels.push_back(c);
    return channels;
}

QStringList SoundFile::metadataNotKept(int format, const std::array<std::optional<QByteArray>, 6> &strings, bool withBext) const
{
    static const char *const names[6] = {QT_TR_NOOP("the title"), QT_TR_NOOP("the copyright"), QT_TR_NOOP("the software"),
                                         QT_TR_NOOP("the artist"), QT_TR_NOOP("the comment"), QT_TR_NOOP("the date")};
    const int major = format & SF_FORMAT_TYPEMASK;
    QStringList lost;
    const bool anyString = std::any_of(strings.begin(), strings.end(), [](const auto &s) { return s && !s->isEmpty(); });
    switch (major) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
        // INFO strings this long are written but never read back.
        for (int i = 0; i < 6; ++i)
            if (strings[size_t(i)] && strings[size_t(i)]->size() >= 2046)
                lost << tr("%1 (2046 bytes or longer)").arg(tr(names[i]));
        break;
    case SF_FORMAT_AIFF:
        if (strings[5] && !strings[5]->isEmpty())
            lost << tr("the date");
        if (strings[1] && !isAscii(*strings[1]))
            lost << tr("the non-ASCII characters of the copyright");
        if (strings[2] && !isAscii(*strings[2]))
            lost << tr("the software text from its first non-ASCII character on");
        break;
    case SF_FORMAT_CAF:
    case SF_FORMAT_FLAC:
    case SF_FORMAT_OGG:
        break;
    default:
        if (anyString)
            lost << tr("the text metadata (title, artist, comment, …)");
        break;
    }
    if (withBext && major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64)
        lost << tr("the broadcast (BEXT) record");
    return lost;
}

bool SoundFile::convertToURL(const QUrl &url, bool calledFromConvert)
{
    if (m_busy || !sndfile || !url.isLocalFile() || !m_window)
        return false;

    const QString target = QFileInfo(url.toLocalFile()).absoluteFilePath();
    const QString own = QFileInfo(m_fileURL.toLocalFile()).absoluteFilePath();
    // By identity, not spelling: a link to the open file is the open file.
    const bool inPlace = isSameFile(target, own) || target == own;

    // Another window showing the target would go on showing, and later save,
    // what the file held before.
    SoundFile *other = DocumentController::sharedDocumentController().documentForURL(QUrl::fromLocalFile(target));
    if (!inPlace && other && other != this) {
        showRewriteFailure(tr("Unable to write file"),
                           tr("“%1” is open in another window. Close it there first.").arg(QFileInfo(target).fileName()));
        return false;
    }
    const QFileInfo targetInfo(inPlace ? own : target);
    // A file nobody may write to is kept as it is, even for a user the
    // system would let replace it.
    const QFileDevice::Permissions anyWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (targetInfo.exists() && (!targetInfo.isWritable() || !(targetInfo.permissions() & anyWrite))) {
        showRewriteFailure(tr("Unable to write file"),
                           tr("“%1” is read-only.").arg(targetInfo.fileName()));
        return false;
    }

    SNDFILE *source = readingHandle();
    if (!source) {
        showRewriteFailure(tr("Unable to write file"), tr("The file can no longer be read from its start."));
        return false;
    }
    RewriteJob job;
    job.source = source;
    job.sourceInfo = sfinfo;
    job.sourcePath = QFile::decodeName(fname);
    // Replacing the file must never shorten it: what cannot be decoded now
    // may still be recoverable from the original.
    job.requireAllFrames = inPlace;
    // In place, the document's own path is replaced, whatever spelling or
    // link the caller used for it.
    job.targetPath = inPlace ? own : target;
    job.targetInfo = convertSFInfo;
    job.owner = this;
    if (convertSFInfo.channels != sfinfo.channels)
        job.channels = selectedChannels();

    QLineEdit *const stringFields[6] = {stringTitle, stringCopyright, stringSoftware, stringArtist, stringComment, stringDate};
    for (int i = 0; i < 6; ++i) {
        const QByteArray original = fileMetadata.strings[size_t(i)].value_or(QByteArray());
        const QByteArray bytes = fieldBytes(stringFields[i]->text(), original);
        if (!bytes.isEmpty())
            job.strings[size_t(i)] = bytes;
    }

    bool writeBext;
    if (calledFromConvert) {
        writeBext = convertKeepBEXT->isChecked();
    } else {
        writeBext = !bextDescription->text().isEmpty() || !bextCodingHistory->toPlainText().isEmpty()
            || !bextOriginationDate->text().isEmpty() || !bextOriginationTime->text().isEmpty()
            || !bextOriginator->text().isEmpty() || !bextOriginatorRef->text().isEmpty()
            || !bextUMID->text().isEmpty() || !bextTimecode->text().isEmpty();
    }
    if (writeBext) {
        bextUpdateTimecode(bextTimecode);
        BextRecord record = bext;
        // Edited fields go into the record; untouched ones keep their bytes,
        // binary UMID included.
        const BextRecord &read = fileMetadata.bext;
        storeField(record.description, 256, bextDescription->text(), bextFieldBytes(read, BextField::Description));
        storeField(record.originator, 32, bextOriginator->text(), bextFieldBytes(read, BextField::Originator));
        storeField(record.originator_reference, 32, bextOriginatorRef->text(), bextFieldBytes(read, BextField::OriginatorRef));
        storeField(record.origination_date, 10, bextOriginationDate->text(), bextFieldBytes(read, BextField::OriginationDate));
        storeField(record.origination_time, 8, bextOriginationTime->text(), bextFieldBytes(read, BextField::OriginationTime));
        storeField(record.umid, 64, bextUMID->text(), bextFieldBytes(read, BextField::UMID));
        // The text edit shows CR LF as one line break; compare what it shows.
        const QString history = bextCodingHistory->toPlainText();
        if (history != plainTextAsShown(decodeFileText(bextFieldBytes(read, BextField::CodingHistory)))) {
            const QByteArray bytes = history.toUtf8().left(kBextCodingHistoryCapacity);
            std::memset(record.coding_history, 0, sizeof record.coding_history);
            std::memcpy(record.coding_history, bytes.constData(), size_t(bytes.size()));
            record.coding_history_size = quint32(bytes.size());
        }
        bool versionOk = false;
        const int version = bextVersion->text().trimmed().toInt(&versionOk);
        if (versionOk && version >= -32768 && version <= 32767)
            record.version = short(version);
        job.bext = record;
    }

    const QStringList notKept = metadataNotKept(convertSFInfo.format, job.strings, job.bext.has_value());

    convertProgress->setValue(0);
    const bool wasRunning = isPlaying;
    if (audioRenderer)
        audioRenderer->pause();
    m_busy = true;
    m_cancelRequested = false;
    convertSheet->open();

    FileRewriter rewriter;
    const RewriteResult result = rewriter.run(job, [this](double percent) {
        convertProgress->setValue(int(percent + 0.5));
        // One event pass per block: the sheet redraws and its Cancel works.
        QCoreApplication::processEvents();
        return !m_cancelRequested;
    });

    m_busy = false;
    convertSheet->hide();
    releaseReadingHandle(source);

    if (!result.ok && !(inPlace && result.replaced)) {
        resumePlaybackAfterFileUse(wasRunning);
        if (!result.cancelled)
            showRewriteFailure(result.message.isEmpty() ? tr("Unable to write file") : result.message, result.detail);
        return false;
    }

    if (inPlace) {
        if (!reopenAfterReplace(QUrl::fromLocalFile(own))) {
            resumePlaybackAfterFileUse(wasRunning);
            return false;
        }
        if (!result.ok) {
            showRewriteFailure(result.message, result.detail);
            return false;
        }
    } else {
        resumePlaybackAfterFileUse(wasRunning);
        if (calledFromConvert) {
            DocumentError err;
            SoundFile *converted = DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
                QUrl::fromLocalFile(target), true, &err);
            if (!converted)
                DocumentController::sharedDocumentController().presentError(err, m_window);
        }
    }
    if (!notKept.isEmpty())
        showWarning(tr("The file's format cannot store everything that was entered."),
                    tr("Not stored: %1.").arg(notKept.join(QStringLiteral("; "))));
    return true;
}

bool SoundFile::saveToURL(const QUrl &url, const QString &typeName, SaveOperationType operation, DocumentError *error)
{
    Q_UNUSED(typeName);
    if (error)
        *error = DocumentError{};
    if (!url.isLocalFile())
        return false;
    convertSFInfo = sfinfo;
    const bool ok = convertToURL(url, false);
    if (ok && operation == SaveOperationType::Save)
        setModified(false);
    return ok;
}

void SoundFile::saveDocument()
{
    DocumentError err;
    saveToURL(m_fileURL, m_fileType, SaveOperationType::Save, &err);
}

void SoundFile::runSavePanel(SaveOperationType operation)
{
    if (m_busy || !m_window)
        return;
    auto *panel = new QFileDialog(m_window, operation == SaveOperationType::SaveTo ? tr("Save a Copy") : tr("Save As"));
    panel->setObjectName(QStringLiteral("savePanel"));
    prepareSavePanel(panel);
    panel->setDirectory(QFileInfo(m_fileURL.toLocalFile()).absolutePath());
    panel->selectFile(QFileInfo(m_fileURL.toLocalFile()).fileName());
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, this, [this, panel, operation](int result) {
        panel->deleteLater();
        if (result != QDialog::Accepted || panel->selectedUrls().isEmpty())
            return;
        const QUrl url = panel->selectedUrls().first();
        // Saved once the panel has closed: the save runs event passes.
        QMetaObject::invokeMethod(this, [this, url, operation] {
            DocumentError err;
            saveToURL(url, m_fileType, operation, &err);
        }, Qt::QueuedConnection);
    });
    panel->open();
}
