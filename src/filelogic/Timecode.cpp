#include "filelogic/Timecode.h"

#include <QByteArray>

#include <cstdint>

namespace {

constexpr int kMaxTimecodeLength = 255;

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtol(base 10) on [begin, end), clamped to the signed 32-bit range.
qint32 toInt32(const char *begin, const char *end)
{
    const char *p = begin;
    while (p < end && isCSpace(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate the magnitude but stop growing once it is past every limit,
    // so long digit strings cannot overflow.
    constexpr quint64 kCap = quint64(1) << 32;
    quint64 magnitude = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (magnitude < kCap)
            magnitude = magnitude * 10 + quint64(*p - '0');
        ++p;
    }
    if (negative)
        return magnitude >= quint64(1) << 31 ? INT32_MIN : -qint32(magnitude);
    return magnitude > quint64(INT32_MAX) ? INT32_MAX : qint32(magnitude);
}

// Splits like strtok(s, ":"): empty fields between separators do not count.
// Collects at most maxFields [begin, end) pairs; returns how many were found.
int splitFields(const char *text, const char *end, const char *(*fields)[2], int maxFields)
{
    int count = 0;
    const char *p = text;
    while (count < maxFields) {
        while (p < end && *p == ':')
            ++p;
        if (p == end)
            break;
        const char *start = p;
        while (p < end && *p != ':')
            ++p;
        fields[count][0] = start;
        fields[count][1] = p;
        ++count;
    }
    return count;
}

} // namespace

QString timecodeText(quint64 timeReference, int samplerate)
{
    if (samplerate <= 0)
        return QString::asprintf("%03llu:%02llu:%02llu:%llu", 0ULL, 0ULL, 0ULL,
                                 static_cast<unsigned long long>(timeReference));
    const quint64 rate = quint64(samplerate);
    const quint64 totalSeconds = timeReference / rate;
    const quint64 offset = timeReference % rate;
    return QString::asprintf("%03llu:%02llu:%02llu:%llu",
                             static_cast<unsigned long long>(totalSeconds / 3600),
                             static_cast<unsigned long long>((totalSeconds / 60) % 60),
                             static_cast<unsigned long long>(totalSeconds % 60),
                             static_cast<unsigned long long>(offset));
}

bool parseTimecode(const QString &text, int samplerate, quint64 *timeReference)
{
    if (!timeReference || text.size() > kMaxTimecodeLength)
        return false;
    for (const QChar c : text) {
        if (c.unicode() > 0x7F)
            return false;
    }
    // Pure ASCII, so Latin-1 is byte for byte. A NUL ends the text as it
    // would end a C string.
    const QByteArray bytes = text.toLatin1();
    const char *begin = bytes.constData();
    const char *end = begin + qstrnlen(begin, size_t(bytes.size()));

    const char *fields[4][2];
    if (splitFields(begin, end, fields, 4) < 4)
        return false;

    const qint32 hours = toInt32(fields[0][0], fields[0][1]);
    const qint32 minutes = toInt32(fields[1][0], fields[1][1]);
    const qint32 seconds = toInt32(fields[2][0], fields[2][1]);
    const qint32 offset = toInt32(fields[3][0], fields[3][1]);

    // The seconds total wraps like 32-bit two's complement; unsigned
    // arithmetic does the wrap without signed overflow.
    const quint32 wrapped = quint32(hours) * 3600u + quint32(minutes) * 60u + quint32(seconds);
    const qint32 totalSeconds = static_cast<qint32>(wrapped);
    const qint64 rate = samplerate > 0 ? samplerate : 0;
    // |totalSeconds * rate| < 2^62 and the offset fits 32 bits: no overflow.
    const qint64 reference = qint64(totalSeconds) * rate + qint64(offset);
    *timeReference = static_cast<quint64>(reference);
    return true;
}

quint64 timeReference(const BextRecord &bext)
{
    return (quint64(bext.time_reference_high) << 32) | quint64(bext.time_reference_low);
}

void setTimeReference(BextRecord &bext, quint64 timeReference)
{
    bext.time_reference_low = quint32(timeReference & 0xFFFFFFFFu);
    bext.time_reference_high = quint32(timeReference >> 32);
}
