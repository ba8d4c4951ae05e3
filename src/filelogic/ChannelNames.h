// What a file calls its channels, for every place a channel is chosen or
// listed: the routing pop-ups, the Convert and Peak tables and the reports.
//
// channelPositions uses the handle, on its thread; the rest is pure.
#pragma once

#include "filelogic/IxmlChunk.h"

#include <sndfile.h>

#include <QString>

#include <vector>

// The speaker position libsndfile reads for each channel (SF_CHANNEL_MAP_*,
// from a WAVEFORMATEXTENSIBLE channel mask or a CAF layout); empty when it
// reads none.
std::vector<int> channelPositions(SNDFILE *file, int channels);

struct ChannelNames {
    TrackNames trackNames;      // the iXML tracks' names, by CHANNEL_INDEX
    std::vector<int> positions; // per channel from 0; may be empty

    // A channel's own name (counted from 0): the name of the iXML track
    // whose CHANNEL_INDEX is channel + 1, else the short name of its speaker
    // (L, R, C, LFE, Ls, Rs, ...); empty when the file gives none.
    QString nameOf(int channel) const;
    // "Channel #1 · Boom", or "Channel #1" for a channel without a name.
    QString label(int channel) const;
    // Whether any of the first `channels` channels has a name.
    bool namesAny(int channels) const;
};
