#include "filelogic/ChannelNames.h"

#include "filelogic/PropertyText.h"

#include <algorithm>

namespace {

// Short speaker names as mixing desks and editors label them.
const std::pair<int, const char *> kSpeakerNames[] = {
    {SF_CHANNEL_MAP_MONO, "M"},
    {SF_CHANNEL_MAP_LEFT, "L"},
    {SF_CHANNEL_MAP_RIGHT, "R"},
    {SF_CHANNEL_MAP_CENTER, "C"},
    {SF_CHANNEL_MAP_FRONT_LEFT, "L"},
    {SF_CHANNEL_MAP_FRONT_RIGHT, "R"},
    {SF_CHANNEL_MAP_FRONT_CENTER, "C"},
    {SF_CHANNEL_MAP_REAR_CENTER, "Cs"},
    {SF_CHANNEL_MAP_REAR_LEFT, "Ls"},
    {SF_CHANNEL_MAP_REAR_RIGHT, "Rs"},
    {SF_CHANNEL_MAP_LFE, "LFE"},
    {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, "Lc"},
    {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, "Rc"},
    {SF_CHANNEL_MAP_SIDE_LEFT, "Lss"},
    {SF_CHANNEL_MAP_SIDE_RIGHT, "Rss"},
    {SF_CHANNEL_MAP_TOP_CENTER, "Tc"},
    {SF_CHANNEL_MAP_TOP_FRONT_LEFT, "Tfl"},
    {SF_CHANNEL_MAP_TOP_FRONT_RIGHT, "Tfr"},
    {SF_CHANNEL_MAP_TOP_FRONT_CENTER, "Tfc"},
    {SF_CHANNEL_MAP_TOP_REAR_LEFT, "Trl"},
    {SF_CHANNEL_MAP_TOP_REAR_RIGHT, "Trr"},
    {SF_CHANNEL_MAP_TOP_REAR_CENTER, "Trc"},
    {SF_CHANNEL_MAP_AMBISONIC_B_W, "W"},
    {SF_CHANNEL_MAP_AMBISONIC_B_X, "X"},
    {SF_CHANNEL_MAP_AMBISONIC_B_Y, "Y"},
    {SF_CHANNEL_MAP_AMBISONIC_B_Z, "Z"},
};

} // namespace

std::vector<int> channelPositions(SNDFILE *file, int channels)
{
    std::vector<int> map(size_t(std::max(channels, 0)), SF_CHANNEL_MAP_INVALID);
    const bool mapped = file && channels > 0
        && sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), int(map.size() * sizeof(int))) == SF_TRUE;
    return mapped ? map : std::vector<int>();
}

QString ChannelNames::nameOf(int channel) const
{
    if (const auto track = trackNames.find(channel + 1); track != trackNames.end() && !track->second.isEmpty())
        return track->second;
    if (channel < 0 || size_t(channel) >= positions.size())
        return QString();
    for (const auto &[position, name] : kSpeakerNames)
        if (position == positions[size_t(channel)])
            return QString::fromLatin1(name);
    return QString();
}

QString ChannelNames::label(int channel) const
{
    const QString name = nameOf(channel);
    return name.isEmpty() ? channelName(channel) : channelName(channel) + QStringLiteral(" · ") + name;
}

bool ChannelNames::namesAny(int channels) const
{
    for (int c = 0; c < channels; ++c)
        if (!nameOf(c).isEmpty())
            return true;
    return false;
}
