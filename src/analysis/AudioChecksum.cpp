#include "analysis/AudioChecksum.h"

#include "analysis/Md5Pipeline.h"
#include "container/ChunkList.h"
#include "container/TagFormats.h"

#include <FLAC/stream_decoder.h>

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(AudioChecksum)
};

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// What a checksum run reads: a byte range of a chunk file, or a FLAC
// stream's samples.
struct Plan {
    StoredChecksum stored;
    qint64 offset = 0;
    qint64 length = 0;
    int flacBits = 0;
    int flacChannels = 0;
    qint64 flacFrames = 0; // 0 when STREAMINFO does not know
};

// Progress in bytes done of `total`, and whether to carry on.
struct Steps {
    const std::atomic<bool> *cancel;
    const std::function<void(double)> &progress;
    qint64 total;
    bool operator()(qint64 done) const
    {
        if (progress)
            progress(total > 0 ? std::min(100.0, 100.0 * double(done) / double(total)) : 0.0);
        return !(cancel && cancel->load());
    }
};

std::optional<Plan> planChunks(const ByteSource &source, QString *error)
{
    const std::optional<ChunkList> list = readChunkList(source, error);
    if (!list)
        return std::nullopt;
    Plan plan;
    plan.stored.scope = list->isAiff() ? ChecksumScope::SoundData : ChecksumScope::DataChunk;
    const Chunk &data = list->chunks.at(list->dataIndex);
    plan.offset = data.payloadOffset();
    plan.length = data.size;
    if (list->isAiff()) {
        // Sound data starts `offset` bytes after the offset and block-size
        // fields; what comes before it is alignment, not audio.
        uchar fields[8] = {};
        const qint64 skip = data.size >= 8 && source.read(plan.offset, fields, 8) ? qFromBigEndian<quint32>(fields) : -1;
        if (skip < 0 || skip > data.size - 8) {
            *error = Text::tr("The SSND chunk's offset lies beyond its end.");
            return std::nullopt;
        }
        plan.offset += 8 + skip;
        plan.length -= 8 + skip;
    }
    const int md5 = findChunk(*list, kMd5ChunkId);
    if (md5 < 0)
        return plan;
    const Chunk &chunk = list->chunks.at(md5);
    if (chunk.size != kMd5Bytes) {
        plan.stored.problem = Text::tr("The MD5 chunk holds %1 bytes instead of %2.").arg(chunk.size).arg(kMd5Bytes);
        return plan;
    }
    plan.stored.md5 = readChunkPayload(source, chunk);
    if (!plan.stored.md5)
        *error = Text::tr("The MD5 chunk could not be read.");
    return plan.stored.md5 ? std::optional<Plan>(plan) : std::nullopt;
}

// STREAMINFO: 34 bytes, the fields this needs packed from byte 12 on.
std::optional<Plan> planFlac(QFile &file, QString *error)
{
    const std::optional<tags::FlacLayout> layout = tags::readFlacLayout(file, error);
    const QByteArray info = layout ? tags::readBlockData(file, layout->blocks.first()) : QByteArray();
    if (!layout || info.size() != 34) {
        if (layout)
            *error = Text::tr("The FLAC stream information could not be read.");
        return std::nullopt;
    }
    const auto *b = reinterpret_cast<const uchar *>(info.constData());
    Plan plan;
    plan.stored.scope = ChecksumScope::FlacSamples;
    plan.flacChannels = ((b[12] >> 1) & 7) + 1;
    plan.flacBits = ((b[12] & 1) << 4 | b[13] >> 4) + 1;
    plan.flacFrames = qint64(b[13] & 0x0f) << 32 | qFromBigEndian<quint32>(b + 14);
    const QByteArray md5 = info.mid(18, kMd5Bytes);
    if (md5.count('\0') != kMd5Bytes)
        plan.stored.md5 = md5;
    return plan;
}

// The file's kind and where its audio lies; reads fd from anywhere and
// leaves its offset anywhere.
std::optional<Plan> planFor(int fd, QString *error)
{
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    const FdByteSource source(fd);
    char magic[4] = {};
    const QByteArray start = source.read(0, magic, 4) ? QByteArray(magic, 4) : QByteArray();
    if (start == "RIFF" || start == "RF64" || start == "BW64" || start == "FORM")
        return planChunks(source, error);
    QFile file;
    if (file.open(fd, QIODevice::ReadOnly)) {
        QString notFlac;
        if (std::optional<Plan> plan = planFlac(file, &notFlac))
            return plan;
        if (start == "fLaC") {
            *error = notFlac;
            return std::nullopt;
        }
    }
    *error = Text::tr("The audio checksum is kept for WAV, RF64, BW64, AIFF and FLAC files only.");
    return std::nullopt;
}

// The range, in blocks read straight into the pipeline's buffers.
bool hashRange(int fd, const Plan &plan, Md5Pipeline &md5, const Steps &steps, QString *error)
{
    ::posix_fadvise(fd, plan.offset, plan.length, POSIX_FADV_SEQUENTIAL);
    const FdByteSource source(fd);
    for (qint64 done = 0; done < plan.length;) {
        const qint64 length = std::min(md5.blockBytes(), plan.length - done);
        if (!source.read(plan.offset + done, md5.block(), length)) {
            *error = Text::tr("The audio could not be read: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EIO)));
            return false;
        }
        md5.submit(length);
        done += length;
        if (!steps(done))
            return false;
    }
    return true;
}

struct FlacRun {
    Md5Pipeline &md5;
    const Steps &steps;
    int width; // bytes per sample
    char *block = nullptr;
    qint64 filled = 0;
    qint64 done = 0;
    qint64 damaged = 0;
    bool stopped = false;

    bool flush()
    {
        md5.submit(filled);
        done += filled;
        block = nullptr;
        filled = 0;
        stopped = !steps(done);
        return !stopped;
    }
};

// Frames from..from+count of every channel, interleaved, little-endian, in
// W bytes each (two's complement keeps the sign in the top byte).
template <int W>
char *pack(char *out, const FLAC__int32 *const channels[], unsigned channelCount, unsigned from, unsigned count)
{
    for (unsigned i = from; i < from + count; ++i) {
        for (unsigned c = 0; c < channelCount; ++c) {
            const quint32 v = quint32(channels[c][i]);
            for (int b = 0; b < W; ++b)
                *out++ = char(v >> (8 * b));
        }
    }
    return out;
}

FLAC__StreamDecoderWriteStatus onFlacFrame(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                           const FLAC__int32 *const channels[], void *client)
{
    auto &run = *static_cast<FlacRun *>(client);
    const unsigned channelCount = frame->header.channels;
    const qint64 stride = qint64(channelCount) * run.width;
    for (unsigned from = 0; from < frame->header.blocksize;) {
        if (!run.block)
            run.block = run.md5.block();
        const unsigned count = unsigned(std::min<qint64>(frame->header.blocksize - from, (run.md5.blockBytes() - run.filled) / stride));
        if (count == 0) {
            if (!run.flush())
                return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
            continue;
        }
        char *out = run.block + run.filled;
        switch (run.width) {
        case 1: out = pack<1>(out, channels, channelCount, from, count); break;
        case 2: out = pack<2>(out, channels, channelCount, from, count); break;
        case 3: out = pack<3>(out, channels, channelCount, from, count); break;
        default: out = pack<4>(out, channels, channelCount, from, count); break;
        }
        run.filled = out - run.block;
        from += count;
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

// Lost sync alone loses no samples: bytes that are no frame (a trailing
// ID3v1 tag) are skipped, and the checksum tells whether audio went too.
void onFlacError(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus status, void *client)
{
    if (status != FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC)
        ++static_cast<FlacRun *>(client)->damaged;
}

// Decodes fd, which it takes over, on this thread; packing and hashing go
// to the pipeline.
bool hashFlac(int fd, const Plan &plan, Md5Pipeline &md5, const Steps &steps, AudioChecksum &result)
{
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE *stream = ::lseek(fd, 0, SEEK_SET) == 0 ? ::fdopen(fd, "rb") : nullptr;
    FLAC__StreamDecoder *decoder = stream ? FLAC__stream_decoder_new() : nullptr;
    if (!decoder) {
        stream ? std::fclose(stream) : ::close(fd);
        result.error = Text::tr("The FLAC decoder could not be started.");
        return false;
    }
    FlacRun run{md5, steps, (plan.flacBits + 7) / 8};
    // libFLAC owns the stream from here on and closes it.
    bool ok = FLAC__stream_decoder_init_FILE(decoder, stream, onFlacFrame, nullptr, onFlacError, &run)
              == FLAC__STREAM_DECODER_INIT_STATUS_OK;
    ok = ok && FLAC__stream_decoder_process_until_end_of_stream(decoder);
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder);
    FLAC__stream_decoder_delete(decoder);
    if (!ok && !run.stopped)
        result.error = Text::tr("The FLAC stream could not be decoded (%1).").arg(QLatin1String(FLAC__StreamDecoderStateString[state]));
    if (!ok || (run.filled > 0 && !run.flush()))
        return false;
    result.damagedFrames = run.damaged;
    return true;
}

} // namespace

ChecksumVerdict checksumVerdict(const AudioChecksum &checksum)
{
    if (!checksum.stored.md5)
        return ChecksumVerdict::NoneStored;
    return *checksum.stored.md5 == checksum.computed ? ChecksumVerdict::Matches : ChecksumVerdict::Differs;
}

std::optional<StoredChecksum> readStoredChecksum(const QString &path, QString *error)
{
    const Fd in{::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)};
    const std::optional<Plan> plan = planFor(in.fd, error);
    return plan ? std::optional<StoredChecksum>(plan->stored) : std::nullopt;
}

AudioChecksum computeAudioChecksum(const QString &path, const std::atomic<bool> *cancel,
                                   const std::function<void(double percent)> &progress)
{
    AudioChecksum result;
    // One handle from the plan to the last block, so a file replaced
    // meanwhile is not half one file and half the other.
    Fd in{::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)};
    const std::optional<Plan> plan = planFor(in.fd, &result.error);
    if (!plan)
        return result;
    result.stored = plan->stored;
    const bool flac = plan->stored.scope == ChecksumScope::FlacSamples;
    const qint64 total = flac ? plan->flacFrames * plan->flacChannels * ((plan->flacBits + 7) / 8) : plan->length;
    const Steps steps{cancel, progress, total};
    if (progress)
        progress(0.0);
    // Unknown FLAC lengths are worth a second thread too.
    Md5Pipeline md5(flac && total == 0 ? Md5Pipeline::kMaxBlockBytes * 2 : total);
    const bool hashed = flac ? hashFlac(std::exchange(in.fd, -1), *plan, md5, steps, result)
                             : hashRange(in.fd, *plan, md5, steps, &result.error);
    result.computed = md5.finish();
    result.cancelled = !hashed && result.error.isEmpty();
    result.ok = hashed && result.computed.size() == kMd5Bytes;
    if (hashed && !result.ok)
        result.error = Text::tr("The MD5 could not be computed (libcrypto failed).");
    if (!result.ok)
        result.computed.clear();
    return result;
}
