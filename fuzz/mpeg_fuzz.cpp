// libFuzzer target for the MPEG stream reader and the open error's look at a
// file's structure: any bytes give a layout inside the file, a length that
// its bytes can hold, and a sentence or nothing; reading the same bytes
// through a file gives the same layout. Any mismatch aborts.
// No libsndfile, so it runs thousands of inputs a second.
#include "container/MpegStream.h"
#include "container/SoundFileProblem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool sameLayout(const MpegStream &a, const MpegStream &b)
{
    return a.audioStart == b.audioStart && a.audioEnd == b.audioEnd && a.firstFrame == b.firstFrame
        && a.cutFrame == b.cutFrame && a.frames == b.frames && a.samples == b.samples
        && a.skippedBytes == b.skippedBytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const MemoryByteSource memory(input);
    const MpegStream s = readMpegStream(memory);
    const qint64 length = qint64(size);
    check(0 <= s.audioStart && s.audioStart <= s.audioEnd && s.audioEnd <= length);
    check(s.audioStart == id3v2TagsEnd(memory) || s.audioStart == length);
    if (s.firstFrame >= 0) {
        check(s.cutFrame < 0 && s.audioStart <= s.firstFrame && s.firstFrame + 4 <= s.audioEnd);
        check(s.frames >= 0 && s.samples >= 0 && s.samples <= s.frames * s.header.samplesPerFrame());
        check(s.encoderDelay + s.encoderPadding <= s.frames * s.header.samplesPerFrame());
        // Every counted frame has at least its header; a header count needs
        // the bytes such frames take.
        check(s.frames <= (s.audioEnd - s.firstFrame) / 4 + 1);
        check(s.skippedBytes <= s.audioEnd - s.firstFrame);
    } else {
        check(s.frames == 0 && s.samples == 0 && (s.cutFrame < 0 || (s.cutFrame >= s.audioStart && s.cutFrame < s.audioEnd)));
    }
    soundFileProblem(memory, true);
    soundFileProblem(memory, false);

    static const int fd = ::memfd_create("mpeg-in", 0);
    check(fd >= 0 && ::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, size, 0) == ssize_t(size));
    check(sameLayout(readMpegStream(FdByteSource(fd)), s));
    return 0;
}
