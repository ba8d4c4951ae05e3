// The SDL2 audio output behind AudioRenderer: one process-wide initialisation
// of SDL's audio subsystem and opening/closing of the default output device.
#pragma once

#include <QtGlobal>

class SdlAudio
{
public:
    // SDL_AudioDeviceID; 0 means "no device".
    using DeviceId = quint32;
    // SDL_AudioCallback: fills `len` bytes of `stream`, on SDL's audio thread.
    using Callback = void (*)(void *userdata, quint8 *stream, int len);

    // Sample rates outside this range get no device: SDL misbehaves on them
    // (very slow closes at a few hundred Hz, hangs on negative rates).
    static constexpr int kMinRate = 1000;
    static constexpr int kMaxRate = 768000;

    // Any thread. Initialises the audio subsystem once per process (the
    // driver is SDL's choice, or SDL_AUDIODRIVER when set). Later calls return
    // the first call's result; SDL is never shut down before the process ends.
    static bool initialise();

    // Main thread. Opens the default output for two interleaved 32-bit float
    // channels at `rate` Hz, paused. SDL converts to whatever the device
    // plays, so the callback always gets exactly this format. Returns 0 when
    // the rate is out of range or no device can be opened.
    static DeviceId openOutput(int rate, Callback callback, void *userdata);

    // Main thread. Start (paused = false) or stop the callbacks. Stopping
    // waits for a running callback to return, so afterwards the callback is
    // not running and will not run until started again.
    static void setPaused(DeviceId device, bool paused);

    // Main thread. Stops the device and joins its thread.
    static void closeOutput(DeviceId device);
};
