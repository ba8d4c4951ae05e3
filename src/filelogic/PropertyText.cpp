#include "filelogic/PropertyText.h"

#include "filelogic/CodecTable.h"

#include <sndfile.h>

#include <cstdio>

QString lengthText(qint64 frames, int samplerate)
{
    // libsndfile reports SF_COUNT_MAX frames when it cannot tell a stream's
    // length (an Ogg file cut before its last page, for one).
    if (samplerate <= 0 || frames < 0 || frames == SF_COUNT_MAX)
        return QStringLiteral("unknown");
    const qint64 totalSeconds = frames / samplerate;
    const qint64 hours = totalSeconds / 3600;
    const qint64 rest = totalSeconds - hours * 3600;
    const qint64 minutes = rest / 60;
    const qint64 seconds = rest - minutes * 60;
    // frames * 1000 overflows only beyond 9.2e15 frames; split the product so
    // even that stays exact.
    const qint64 millis = ((frames % samplerate) * 1000) / samplerate;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(hours), static_cast<long long>(minutes),
                  static_cast<long long>(seconds), static_cast<long long>(millis));
    return QString::fromLatin1(buf);
}

QString framesText(qint64 frames)
{
    if (frames < 0 || frames == SF_COUNT_MAX)
        return QStringLiteral("unknown");
    return QString::number(frames);
}

QString sizeText(qint64 bytes)
{
    static const char units[] = " KMGT";
    float value = float(bytes);
    int unit = 0;
    // Stop at the last unit letter: sizes beyond 1024 TB stay in TB.
    while (value > 1024.0f && unit < int(sizeof units) - 2) {
        value *= 0.0009765625f;
        ++unit;
    }
    const char letter = units[unit];
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.2f %cB%s", double(value), letter, letter == ' ' ? "ytes" : "");
    return QString::fromLatin1(buf);
}

QString bytesPerSampleText(int format)
{
    const int bytes = codecFacts(format).bytesPerSample;
    return bytes > 0 ? QString::number(bytes) : QStringLiteral("unknown");
}

QString bytesPerSecondText(int format, int samplerate, int channels)
{
    const int bytes = codecFacts(format).bytesPerSample;
    if (bytes <= 0)
        return QStringLiteral("unknown");
    return QString::number(qint64(bytes) * samplerate * channels);
}

QString peakText(double peak, int format)
{
    // snprintf spells a zero peak's -infinity as "-inf".
    char text[64];
    std::snprintf(text, sizeof text, "%.2f dB", peakDecibels(peak, format));
    return QString::fromLatin1(text);
}

QString channelName(int channel)
{
    return QString::asprintf("Channel #%d", channel);
}
