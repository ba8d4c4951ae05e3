// Filling the document window from the open file.
#include "document/SoundFile.h"

#include "document/PropertyText.h"
#include "document/SoundFileWindow.h"

#include <QLabel>

namespace {

QString formatName(SNDFILE *sndfile, int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    sf_command(sndfile, SFC_GET_FORMAT_INFO, &info, sizeof info);
    // libsndfile leaves the name unset for a format word it does not know.
    return info.name ? QString::fromLocal8Bit(info.name) : QStringLiteral("unknown");
}

} // namespace

void SoundFile::initFromSndFile()
{
    m_filling = true;
    showProperties();
    m_filling = false;
}

void SoundFile::showProperties()
{
    labelFormat->setText(formatName(sndfile, sfinfo.format));
    labelSampleFormat->setText(formatName(sndfile, sfinfo.format & 0xffff));
    labelSamplerate->setText(QString::number(sfinfo.samplerate));
    labelChannels->setText(QString::number(sfinfo.channels));
    // Shown in full: files longer than 2^31 frames exist (RF64, W64, CAF).
    labelFrames->setText(QString::number(qint64(sfinfo.frames)));
    labelSections->setText(QString::number(sfinfo.sections));
    labelLength->setText(lengthText(sfinfo.frames, sfinfo.samplerate));
    labelFilesize->setText(sizeText(qint64(file_stat.st_size)));
    labelBytesPerSample->setText(bytesPerSampleText(sfinfo.format));
    labelBytesPerSecond->setText(bytesPerSecondText(sfinfo.format, sfinfo.samplerate, sfinfo.channels));
}
