// What an engine device's thread knows of its device. Touched only by work on that thread
// (engine_thread.h).
#pragma once

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/openal/dsound_api.h"
#include "platform/openal/rendering.h"

namespace sound {

// What a loopback device renders into: channels (1 or 2), and ALC_SHORT_SOFT or ALC_FLOAT_SOFT.
struct LoopbackFormat {
    int channels = 2;
    ALCenum type = ALC_SHORT_SOFT;
};

// A 3D source's sound, kept to measure its loudness under each rendering.
struct SourceSound {
    ALuint source = 0;
    WAVEFORMATEX format{};
    std::vector<BYTE> samples;
    double shortfallDb = 0.0; // how far its gain stopped short of the matched loudness, at the headroom
};

struct DeviceState {
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    std::optional<LoopbackFormat> loopback; // nothing for a playback device
    int rateHz = 0;                          // the rate the engine mixes at
    // A device opens with HRTF left to the engine, as Default asks, and the engine's own
    // dataset named for it: never one of our light datasets.
    Rendering rendering = Rendering::Automatic;
    std::string fallback; // why the last HRTF request was not met
    // A playback device's layout as the engine (or for an older engine, the sound server)
    // reported it when the device opened, before any HRTF request could make it stereo;
    // nothing when no one could tell.
    std::optional<int> outputChannels;
    // Whether the sound server listed our stream when the device opened: from then on, a server
    // that no longer does has lost it.
    bool streamListed = false;

    std::vector<SourceSound> sounds; // of the 3D sources
    // The HRTF dataset and rate the sources' gains were matched for; empty for panning.
    std::string matchedDataset;
    int matchedRateHz = 0;
};

// Whether the engine says the device is still connected; a loopback device always is. Some
// backends never say otherwise (OpenAL Soft 1.24's PipeWire backend when the server is killed).
inline bool Connected(const DeviceState& state)
{
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(state.device, ALC_CONNECTED, 1, &connected);
    return connected != ALC_FALSE;
}

// The engine's sample format for a PCM format the layer accepts (8 or 16 bits, 1 or 2 channels).
inline ALenum EngineFormat(const WAVEFORMATEX& format)
{
    if (format.nChannels == 1)
        return format.wBitsPerSample == 8 ? AL_FORMAT_MONO8 : AL_FORMAT_MONO16;
    return format.wBitsPerSample == 8 ? AL_FORMAT_STEREO8 : AL_FORMAT_STEREO16;
}

} // namespace sound
