// libFuzzer target: every input is taken as a sound file and driven through
// the document and its window the way a user would: open it (which fills the
// window), pull some audio through the renderer, scan the peaks, type a new
// title and save in place, convert to another format, then close
// everything. Whatever the bytes are, nothing may crash, leak, hit undefined
// behaviour or hang.
//
// Runs on the main thread only; one QApplication lives for the whole process.
#include "document/SoundFile.h"
#include "document/Transport.h"
#include "playback/AudioRenderer.h"
#include "toolkit/DocumentController.h"
#include "window/SoundFileWindow.h"

#include <QApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Inputs that decode to more sample values than this are only opened and
// closed: a few bytes of FLAC can legitimately hold hours of audio, and
// scanning or copying all of it would only make the run slow, not find
// anything new. What counts is what a read delivers, not the frame count the
// header claims: damaged files often claim far more (an Ogg stream cut short
// claims SF_COUNT_MAX) and those are exactly the ones worth driving further.
constexpr sf_count_t kMaxItemsToProcess = sf_count_t(1) << 22;

bool smallEnoughToProcess(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return true;
    bool small = false;
    if (info.channels > 0) {
        static float block[65536];
        const sf_count_t ask = sf_count_t(65536 / info.channels) * info.channels;
        sf_count_t total = 0;
        sf_count_t n = 0;
        while (total <= kMaxItemsToProcess && (n = sf_read_float(f, block, ask)) > 0)
            total += n;
        small = total <= kMaxItemsToProcess;
    }
    sf_close(f);
    return small;
}

bool verbose = false;

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (verbose || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Every document closed (edits dropped: the document goes first, so its
// window closes without asking), then whatever is left on screen, so memory
// stays flat over millions of runs.
void closeEverything()
{
    for (SoundFile *doc : DocumentController::sharedDocumentController().documents()) {
        SoundFileWindow *window = SoundFileWindow::forDocument(doc);
        doc->close();
        if (window)
            window->close();
    }
    for (QWidget *w : QApplication::topLevelWidgets())
        w->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A target format different from the input's, which libsndfile can write for
// most channel counts and rates: FLAC for WAV input, 32-bit float WAV
// otherwise (FLAC refusing a rate or channel count is fine too: that is the
// "Unable to write file" alert).
int conversionFor(int format, QString *extension)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    const bool wav = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
    *extension = wav ? QStringLiteral("flac") : QStringLiteral("wav");
    return wav ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16 : SF_FORMAT_WAV | SF_FORMAT_FLOAT;
}

void exercise(const QString &folder, const QString &path)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    DocumentError err;
    SoundFile *doc = controller.openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err);
    if (!doc) {
        // What the user would see: the error's text in an alert.
        controller.presentError(err, nullptr);
        return;
    }
    SoundFileWindow *window = SoundFileWindow::forDocument(doc);
    if (!window || !smallEnoughToProcess(path))
        return;

    // Playback without a running output: this thread stands in for the
    // audio thread, which is allowed while the output is stopped.
    if (AudioRenderer *renderer = doc->transport()->renderer()) {
        static float out[2 * 1024];
        for (int block = 0; block < 4; ++block) {
            AudioRenderer::sf_coreaudio_render_proc(renderer, out, 1024);
            renderer->update_buffer();
        }
        doc->transport()->seekToFrame(doc->info().frames / 2);
        AudioRenderer::sf_coreaudio_render_proc(renderer, out, 1024);
        doc->transport()->seekToFrame(0);
    }

    window->peakAction->trigger();

    // Typed into the window, saved in place while the scan runs: a failure
    // shows its alert.
    window->ui.stringTitle->setText(QStringLiteral("fuzzed \u00e9"));
    window->saveDocument();
    doc->waitForJobs();

    // The save may have reopened the file with a different description.
    if (doc->isClosed())
        return;
    QString extension;
    const int format = conversionFor(doc->info().format, &extension);
    QObject popUp;
    popUp.setProperty("currentIndex", majorFormatIndex(format));
    doc->convertFormatSelected(&popUp);
    doc->conversion().setFormat(format);
    doc->convertToURL(QUrl::fromLocalFile(folder + QStringLiteral("/converted.") + extension), true);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "dummy");
    verbose = qEnvironmentVariableIsSet("WAVQUILL_FUZZ_VERBOSE");
    qInstallMessageHandler(quietMessages);
    // Every input is opened as a document and goes to the recent files: into
    // settings of the tests' own, never the user's.
    QStandardPaths::setTestModeEnabled(true);
    // QApplication keeps references to argc and argv: both must outlive it.
    static int appArgc = 1;
    static char *appArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QApplication(appArgc, appArgv);
    DocumentController::sharedDocumentController().setQuitWhenLastDocumentCloses(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    const QString path = dir.filePath(QStringLiteral("input.wav"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)
            || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            std::abort();
    }
    exercise(dir.path(), path);
    closeEverything();
    return 0;
}
