#include "RewriteFixtures.h"

#include <QDir>
#include <QFile>

#include <cstring>

namespace fixtures {

OpenSoundFile::OpenSoundFile(const QString &file)
    : path(file)
{
    sf = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
}

OpenSoundFile::~OpenSoundFile()
{
    if (sf)
        sf_close(sf);
}

RewriteJob sameFormatJob(const OpenSoundFile &source, const QString &target)
{
    RewriteJob job;
    job.source = source.sf;
    job.sourceInfo = source.info;
    job.sourcePath = source.path;
    job.targetPath = target;
    job.targetInfo = source.info;
    job.owner = &source;
    return job;
}

bool writeRawBytes(const QString &path, int format, int channels, const QByteArray &bytes)
{
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = 8000;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const bool ok = sf_write_raw(f, bytes.constData(), bytes.size()) == bytes.size();
    return sf_close(f) == 0 && ok;
}

QByteArray readRawBytes(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    QByteArray out;
    if (!f)
        return out;
    // Raw reads must ask for whole frames.
    const int width = [&] {
        switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_16: return 2;
        case SF_FORMAT_PCM_24: return 3;
        case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
        case SF_FORMAT_DOUBLE: return 8;
        default: return 1;
        }
    }();
    const sf_count_t ask = sf_count_t(info.channels) * width * 1024;
    QByteArray block(int(ask), '\0');
    sf_count_t n;
    while ((n = sf_read_raw(f, block.data(), ask)) > 0)
        out.append(block.constData(), int(n));
    sf_close(f);
    return out;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList temporaryLeftovers(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".wavquill-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

bool readBext(const QString &path, BextRecord *record)
{
    std::memset(record, 0, sizeof *record);
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return false;
    const bool has = sf_command(f, SFC_GET_BROADCAST_INFO, record, sizeof *record) == SF_TRUE;
    sf_close(f);
    return has;
}

QByteArray readString(const QString &path, int id)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return {};
    const char *s = sf_get_string(f, id);
    QByteArray out = s ? QByteArray(s) : QByteArray();
    sf_close(f);
    return out;
}

} // namespace fixtures
