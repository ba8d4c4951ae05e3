#include "Fixtures.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace fixtures {

double sineSample(sf_count_t frame, int channel)
{
    const double freq = 220.0 * (channel + 1);
    return 0.5 * std::sin(2.0 * M_PI * freq * double(frame) / 48000.0);
}

namespace {

SNDFILE *openForWrite(const QString &path, const Spec &spec, SF_INFO &info)
{
    info = SF_INFO{};
    info.format = spec.format;
    info.channels = spec.channels;
    info.samplerate = spec.samplerate;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "fixtures: cannot write %s: %s\n", qPrintable(path), sf_strerror(nullptr));
        return nullptr;
    }
    if (spec.bext) {
        QByteArray rec = *spec.bext;
        sf_command(f, SFC_SET_BROADCAST_INFO, rec.data(), rec.size());
    }
    for (int i = 0; i < 6; ++i) {
        if (spec.strings[i])
            sf_set_string(f, i + 1, spec.strings[i]->constData());
    }
    return f;
}

} // namespace

bool write(const QString &path, const Spec &spec, const Generator &gen)
{
    SF_INFO info;
    SNDFILE *f = openForWrite(path, spec, info);
    if (!f)
        return false;
    std::vector<double> block(4096 * size_t(spec.channels));
    sf_count_t done = 0;
    while (done < spec.frames) {
        const sf_count_t n = std::min<sf_count_t>(4096, spec.frames - done);
        for (sf_count_t i = 0; i < n; ++i)
            for (int c = 0; c < spec.channels; ++c)
                block[size_t(i * spec.channels + c)] = gen(done + i, c);
        if (sf_writef_double(f, block.data(), n) != n) {
            sf_close(f);
            return false;
        }
        done += n;
    }
    return sf_close(f) == 0;
}

bool writeInts(const QString &path, const Spec &spec, const std::vector<int> &items)
{
    SF_INFO info;
    SNDFILE *f = openForWrite(path, spec, info);
    if (!f)
        return false;
    const bool ok = items.empty() || sf_write_int(f, items.data(), sf_count_t(items.size())) == sf_count_t(items.size());
    return sf_close(f) == 0 && ok;
}

bool writeRawDoubles(const QString &path, const Spec &spec, const std::vector<double> &items)
{
    SF_INFO info;
    SNDFILE *f = openForWrite(path, spec, info);
    if (!f)
        return false;
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    const bool ok = items.empty() || sf_write_double(f, items.data(), sf_count_t(items.size())) == sf_count_t(items.size());
    return sf_close(f) == 0 && ok;
}

template <typename T, typename Read>
static std::vector<T> readAll(const QString &path, SF_INFO *infoOut, bool rawDoubles, Read read)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    std::vector<T> out;
    if (!f)
        return out;
    if (rawDoubles)
        sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    std::vector<T> block(size_t(info.channels) * 4096);
    sf_count_t n;
    while ((n = read(f, block.data(), sf_count_t(block.size()))) > 0)
        out.insert(out.end(), block.begin(), block.begin() + n);
    sf_close(f);
    if (infoOut)
        *infoOut = info;
    return out;
}

std::vector<int> readInts(const QString &path, SF_INFO *info)
{
    return readAll<int>(path, info, false, sf_read_int);
}

std::vector<double> readRawDoubles(const QString &path, SF_INFO *info)
{
    return readAll<double>(path, info, true, sf_read_double);
}

QByteArray bextRecord(const QByteArray &description, const QByteArray &originator,
                      const QByteArray &originatorRef, const QByteArray &date,
                      const QByteArray &time, quint64 timeReference, short version,
                      const QByteArray &umid, const QByteArray &codingHistory)
{
    // The coding history follows the fixed part; records with a longer
    // history are the same layout with a larger trailing array.
    const int historyOffset = int(offsetof(SF_BROADCAST_INFO, coding_history));
    const int historyRoom = std::max<int>(256, int(codingHistory.size()));
    QByteArray rec(historyOffset + historyRoom, '\0');
    SF_BROADCAST_INFO *b = reinterpret_cast<SF_BROADCAST_INFO *>(rec.data());
    std::memcpy(b->description, description.constData(), std::min<size_t>(256, description.size()));
    std::memcpy(b->originator, originator.constData(), std::min<size_t>(32, originator.size()));
    std::memcpy(b->originator_reference, originatorRef.constData(), std::min<size_t>(32, originatorRef.size()));
    std::memcpy(b->origination_date, date.constData(), std::min<size_t>(10, date.size()));
    std::memcpy(b->origination_time, time.constData(), std::min<size_t>(8, time.size()));
    b->time_reference_low = quint32(timeReference & 0xffffffffu);
    b->time_reference_high = quint32(timeReference >> 32);
    b->version = version;
    std::memcpy(b->umid, umid.constData(), std::min<size_t>(64, umid.size()));
    b->coding_history_size = quint32(codingHistory.size());
    std::memcpy(rec.data() + historyOffset, codingHistory.constData(), size_t(codingHistory.size()));
    return rec;
}

QString artifactsDir()
{
    QString dir = qEnvironmentVariable("WAVQUILL_ARTIFACTS");
    if (dir.isEmpty())
        dir = QDir::currentPath() + QStringLiteral("/artifacts");
    QDir().mkpath(dir);
    return dir;
}

bool haveProgram(const char *name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

} // namespace fixtures
