#include "filelogic/PlayPosition.h"

#include <algorithm>
#include <climits>

QString playPosText(qint64 frame, int samplerate)
{
    if (samplerate <= 0)
        return QStringLiteral("0:00:00.000");
    const quint64 p = quint64(std::max<qint64>(0, frame));
    const quint64 r = quint64(samplerate);
    const quint64 hours = p / (3600 * r);
    const quint64 minutes = (p / (60 * r)) % 60;
    const quint64 seconds = (p / r) % 60;
    const quint64 millis = ((p % r) * 1000) / r;
    return QString::asprintf("%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(hours),
                             static_cast<unsigned long long>(minutes),
                             static_cast<unsigned long long>(seconds),
                             static_cast<unsigned long long>(millis));
}

SliderScale SliderScale::forFrames(qint64 frames)
{
    SliderScale s;
    s.frames = std::max<qint64>(0, frames);
    // frames / step <= INT_MAX holds exactly when step > frames / (INT_MAX + 1).
    s.step = s.frames / (qint64(INT_MAX) + 1) + 1;
    return s;
}

int SliderScale::maximum() const
{
    return int(std::max<qint64>(0, frames) / std::max<qint64>(1, step));
}

int SliderScale::valueForFrame(qint64 frame) const
{
    const qint64 v = std::max<qint64>(0, frame) / std::max<qint64>(1, step);
    return int(std::min<qint64>(v, maximum()));
}

qint64 SliderScale::frameForValue(int value) const
{
    const qint64 v = std::clamp<qint64>(value, 0, maximum());
    return std::min(v * std::max<qint64>(1, step), std::max<qint64>(0, frames));
}
