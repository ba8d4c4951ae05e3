#include "playback/SdlAudio.h"

#include <SDL.h>

#include <cmath>
#include <mutex>

bool SdlAudio::initialise()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        // SDL would otherwise install SIGINT/SIGTERM handlers that turn
        // Ctrl-C into an SDL_QUIT event nobody reads.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ok = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    });
    return ok;
}

int SdlAudio::bufferFrames(int rate)
{
    constexpr int kSmallest = 256;
    constexpr int kLargest = 4096;
    const double ideal = double(rate) / 50.0;
    int best = kSmallest;
    for (int frames = kSmallest * 2; frames <= kLargest; frames *= 2) {
        if (std::fabs(frames - ideal) < std::fabs(best - ideal))
            best = frames;
    }
    return best;
}

SdlAudio::DeviceId SdlAudio::openOutput(int rate, Callback callback, void *userdata)
{
    if (rate < kMinRate || rate > kMaxRate || !callback)
        return 0;
    if (!initialise())
        return 0;
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = Uint16(bufferFrames(rate));
    want.callback = callback;
    want.userdata = userdata;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts behind the callback.
    const SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    return dev;
}

void SdlAudio::setPaused(DeviceId device, bool paused)
{
    if (device)
        SDL_PauseAudioDevice(device, paused ? 1 : 0);
}

void SdlAudio::closeOutput(DeviceId device)
{
    if (device)
        SDL_CloseAudioDevice(device);
}

bool SdlAudio::selectDriverForTesting(const char *name)
{
    // SDL_AudioInit shuts the current driver down and starts the named one.
    return initialise() && name && SDL_AudioInit(name) == 0;
}
