// The audio's checksum, for fixity checks that outlive metadata edits: the
// MD5 of the audio alone, compared with the one the file stores.
//
// - WAV, WAVEX, RF64, BW64: the data chunk's payload as stored (no header,
//   no pad byte); stored in an "MD5 " chunk of 16 bytes.
// - AIFF, AIFF-C: the SSND chunk's sound data, after its offset and
//   block-size fields and the offset they declare; an "MD5 " chunk there is
//   read too.
// - FLAC: the decoded samples as FLAC defines its checksum (interleaved,
//   little-endian, each sample in the fewest whole bytes holding the
//   stream's bit depth), decoded with libFLAC, which takes every bit depth
//   FLAC allows; stored in STREAMINFO (all zeros: none stored).
//
// Threads: every function runs on any thread and opens its own handles;
// computeAudioChecksum blocks its caller and uses one helper thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

// The chunk that stores a WAV file's checksum, and its payload size.
inline const QByteArray kMd5ChunkId = QByteArrayLiteral("MD5 ");
constexpr int kMd5Bytes = 16;

enum class ChecksumScope {
    DataChunk, // WAV family: an MD5 chunk can be stored
    SoundData, // AIFF, AIFF-C
    FlacSamples,
};

struct StoredChecksum {
    ChecksumScope scope = ChecksumScope::DataChunk;
    std::optional<QByteArray> md5; // 16 bytes; nullopt when none is stored
    // Why a stored checksum could not be taken (an MD5 chunk that is not 16
    // bytes); md5 is nullopt then.
    QString problem;
};

struct AudioChecksum {
    bool ok = false;
    bool cancelled = false;
    QString error; // translated; why nothing was computed
    StoredChecksum stored;
    QByteArray computed; // 16 bytes when ok
    // Damaged FLAC frames (bad header or CRC; what they held is lost, so
    // the checksum differs); 0 elsewhere.
    qint64 damagedFrames = 0;
};

enum class ChecksumVerdict { Matches, Differs, NoneStored };
ChecksumVerdict checksumVerdict(const AudioChecksum &checksum);

// What the file stores and what its checksum covers, without reading the
// audio; nullopt with *error for a file of another kind or a damaged
// structure.
std::optional<StoredChecksum> readStoredChecksum(const QString &path, QString *error);

// Reads the audio once, in large sequential reads, and hashes it on a second
// thread. `progress` (may be empty) gets the share done in percent on the
// calling thread about every megabyte; setting *cancel (may be null) stops
// within a megabyte, and the result is then `cancelled`.
AudioChecksum computeAudioChecksum(const QString &path, const std::atomic<bool> *cancel = nullptr,
                                   const std::function<void(double percent)> &progress = {});

// 32 lower-case hexadecimal digits.
inline QString md5Text(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex());
}
