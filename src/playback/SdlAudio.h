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
    // the first call's result; SDL is never shut down before the process ends
    // (selectDriverForTesting only swaps the driver).
    static bool initialise();

    // Any thread. Frames of one device buffer at `rate` Hz: the power of two
    // nearest to rate / 50 (20 ms), within 256..4096. Closing a device waits
    // for about two of its buffers, so they are kept short.
    static int bufferFrames(int rate);

    // Main thread. Opens the default output for two interleaved 32-bit float
    // channels at `rate` Hz, paused, with buffers of bufferFrames(rate). SDL
    // converts to whatever the device plays, so the callback always gets
    // exactly this format. Returns 0 when the rate is out of range or no
    // device can be opened (some drivers - dummy, ALSA without dmix - allow
    // only one open output per process).
    static DeviceId openOutput(int rate, Callback callback, void *userdata);

    // Main thread. Start (paused = false) or stop the callbacks. Stopping
    // waits for a running callback to return, so afterwards the callback is
    // not running and will not run until started again.
    static void setPaused(DeviceId device, bool paused);

    // Main thread, tests only, while no output is open: switches SDL's audio
    // to the named driver ("dummy", "disk"). False when it cannot be used.
    static bool selectDriverForTesting(const char *name);

    // Main thread. Stops the device and joins its thread (about two device
    // buffers).
    static void closeOutput(DeviceId device);
};
