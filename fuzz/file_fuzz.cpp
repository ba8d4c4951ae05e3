// libFuzzer target for everything that reads untrusted bytes without a
// window: opening a file, every property and metadata text, the report with
// its chunk list, the peak scan and the audio's checksum. Fast enough to run hundreds of inputs a
// second; the document target (wavquill_fuzz) goes deeper, slowly.
//
// One thread; the input lives in a memory file for libsndfile to open.
#include "analysis/AudioChecksum.h"
#include "analysis/PeakScan.h"
#include "container/SoundFileOpen.h"
#include "cli/ChunkReport.h"
#include "cli/FileReport.h"
#include "rewrite/ChunkSave.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Inputs decoding to more items than this are only opened and described: a
// few bytes of FLAC can hold hours of audio. Two of the scan's blocks and a
// part of a third reach every path of the scan; more only slow the fuzzer.
constexpr sf_count_t kMaxItems = sf_count_t(1) << 17;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        qInstallMessageHandler(quiet);
        return true;
    }();
    (void)ready;

    const int fd = ::memfd_create("wavquill-fuzz", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != ssize_t(size)) {
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    SF_INFO info{};
    qint64 fileSize = 0;
    DocumentError error;
    if (const SoundHandle opened = openSoundFile(path, &info, &fileSize, &error)) {
        SNDFILE *handle = opened.get();
        FileReport report;
        report.file = path;
        report.sections = infoSections(handle, info, fileSize, path);
        if (chunkSaveSupported(info.format))
            report.sections.append(chunksSection(path));
        if (info.channels > 0 && info.frames < kMaxItems / info.channels) {
            std::vector<double> peaks;
            scanPeaks(handle, info, peaks, {});
            report.sections.append(peakSection(peaks, info.format));
        }
        reportText(report);
        reportJson(report);
    }
    // The chunk reader and the contents texts on every input, sound file or not.
    QString why;
    if (const auto list = readChunkList(FdByteSource(fd), &why))
        for (int i = 0; i < list->chunks.size(); ++i)
            chunkContentsText(FdByteSource(fd), *list, i);
    // The audio's checksum of any input: chunk layouts, SSND offsets, FLAC
    // metadata and frames. A few bytes of FLAC can decode to hours, so the
    // run stops after a few blocks.
    int blocks = 0;
    std::atomic<bool> enough{false};
    computeAudioChecksum(path, &enough, [&](double) { enough = ++blocks > 8; });
    ::close(fd);
    return 0;
}
