#include "document/ConversionChoices.h"

QString proposedConvertName(const QString &documentPath, const QString &extension)
{
    // The file name without its last extension; dots in folder names play no
    // part, and a name that is only an extension (".wav") keeps nothing.
    QString base = documentPath.mid(documentPath.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        base.truncate(dot);
    return extension.isEmpty() ? base : base + QLatin1Char('.') + extension;
}

void ConversionChoices::reset(int format, int channels, bool hasBext)
{
    m_channels = channels;
    m_kept.assign(size_t(kListedChannels), true);
    m_keepBext = hasBext;
    selectMajor(majorFormatIndex(format));
}

QString ConversionChoices::proposedName(const QString &documentPath) const
{
    const QList<FormatEntry> majors = majorFormats();
    return proposedConvertName(documentPath, m_major >= 0 && m_major < majors.size() ? majors[m_major].extension : QString());
}

void ConversionChoices::selectMajor(int index)
{
    m_major = index;
    m_subformats = writableSubformats(index);
    m_format = m_subformats.isEmpty() ? 0 : m_subformats.first().format;
}

bool ConversionChoices::channelKept(int channel) const
{
    if (channel >= kListedChannels)
        return true;
    return channel >= 0 && size_t(channel) < m_kept.size() && m_kept[size_t(channel)];
}

void ConversionChoices::setChannelKept(int channel, bool kept)
{
    if (channel >= 0 && size_t(channel) < m_kept.size())
        m_kept[size_t(channel)] = kept;
}

rewrite::ConversionSettings ConversionChoices::settings() const
{
    rewrite::ConversionSettings settings{m_format, {}, m_keepBext};
    for (int c = 0; c < m_channels; ++c)
        if (channelKept(c))
            settings.channels.push_back(c);
    return settings;
}
