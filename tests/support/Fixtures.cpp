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
    return 0.5 * std::sin(2.0 * M_PI * 220.0 * (channel + 1) * double(frame) / 48000.0);
}

namespace {

// Opens a file for writing with the description's strings and record; body writes
// the samples. False (libsndfile's text printed) when any step fails.
bool writeFile(const QString &path, const Spec &spec, const std::function<bool(SNDFILE *)> &body)
{
    SF_INFO info{0, spec.samplerate, spec.channels, spec.format, 0, 0};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "fixtures: cannot write %s: %s\n", qPrintable(path), sf_strerror(nullptr));
        return false;
    }
    if (QByteArray record = spec.bext.value_or(QByteArray()); spec.bext)
        sf_command(f, SFC_SET_BROADCAST_INFO, record.data(), int(record.size()));
    for (int i = 0; i < 6; ++i)
        if (spec.strings[size_t(i)])
            sf_set_string(f, i + 1, spec.strings[size_t(i)]->constData());
    const bool ok = body(f);
    return sf_close(f) == 0 && ok;
}

template <typename T>
std::vector<T> readAll(const QString &path, SF_INFO *infoOut, sf_count_t (*read)(SNDFILE *, T *, sf_count_t))
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return {};
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE); // doubles unscaled; ints are not affected
    std::vector<T> out, block(size_t(info.channels) * 4096);
    for (sf_count_t n; (n = read(f, block.data(), sf_count_t(block.size()))) > 0;)
        out.insert(out.end(), block.begin(), block.begin() + n);
    sf_close(f);
    if (infoOut)
        *infoOut = info;
    return out;
}

} // namespace

bool write(const QString &path, const Spec &spec, const Generator &gen)
{
    return writeFile(path, spec, [&](SNDFILE *f) {
        std::vector<double> block(4096 * size_t(spec.channels));
        for (sf_count_t done = 0, n; done < spec.frames; done += n) {
            n = std::min<sf_count_t>(4096, spec.frames - done);
            for (sf_count_t i = 0; i < n * spec.channels; ++i)
                block[size_t(i)] = gen(done + i / spec.channels, int(i % spec.channels));
            if (sf_writef_double(f, block.data(), n) != n)
                return false;
        }
        return true;
    });
}

bool writeInts(const QString &path, const Spec &spec, const std::vector<int> &items)
{
    return writeFile(path, spec, [&](SNDFILE *f) {
        return items.empty() || sf_write_int(f, items.data(), sf_count_t(items.size())) == sf_count_t(items.size());
    });
}

bool writeRawDoubles(const QString &path, const Spec &spec, const std::vector<double> &items)
{
    return writeFile(path, spec, [&](SNDFILE *f) {
        sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
        return items.empty() || sf_write_double(f, items.data(), sf_count_t(items.size())) == sf_count_t(items.size());
    });
}

std::vector<int> readInts(const QString &path, SF_INFO *info)
{
    return readAll<int>(path, info, sf_read_int);
}

std::vector<double> readRawDoubles(const QString &path, SF_INFO *info)
{
    return readAll<double>(path, info, sf_read_double);
}

QByteArray bextRecord(const QByteArray &description, const QByteArray &originator,
                      const QByteArray &originatorRef, const QByteArray &date,
                      const QByteArray &time, quint64 timeReference, short version,
                      const QByteArray &umid, const QByteArray &codingHistory)
{
    // A longer history is the same layout with a larger trailing array.
    const size_t historyOffset = offsetof(SF_BROADCAST_INFO, coding_history);
    QByteArray rec(int(historyOffset) + std::max<int>(256, int(codingHistory.size())), '\0');
    auto *b = reinterpret_cast<SF_BROADCAST_INFO *>(rec.data());
    auto put = [](char *field, size_t width, const QByteArray &text) {
        std::memcpy(field, text.constData(), std::min<size_t>(width, size_t(text.size())));
    };
    put(b->description, sizeof b->description, description);
    put(b->originator, sizeof b->originator, originator);
    put(b->originator_reference, sizeof b->originator_reference, originatorRef);
    put(b->origination_date, sizeof b->origination_date, date);
    put(b->origination_time, sizeof b->origination_time, time);
    put(b->umid, sizeof b->umid, umid);
    b->time_reference_low = quint32(timeReference & 0xffffffffu);
    b->time_reference_high = quint32(timeReference >> 32);
    b->version = version;
    b->coding_history_size = quint32(codingHistory.size());
    put(rec.data() + historyOffset, size_t(codingHistory.size()), codingHistory);
    return rec;
}

QString artifactsDir()
{
    const QString dir = qEnvironmentVariable("WAVQUILL_ARTIFACTS", QDir::currentPath() + QStringLiteral("/artifacts"));
    QDir().mkpath(dir);
    return dir;
}

bool haveProgram(const char *name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

} // namespace fixtures
