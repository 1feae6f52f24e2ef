// What an engine device's thread knows of its device, and the work that thread does with it.
// Everything here runs on the device's engine thread only (engine_thread.h).
#pragma once

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/openal/dsound_api.h"
#include "platform/openal/engine_thread.h"
#include "platform/openal/rendering.h"

namespace sound {

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
    bool loopback = false;
    int channels = 2; // a loopback device's
    int rateHz = 0;   // the rate the engine mixes at
    // A device opens with HRTF left to the engine, as Default asks, and the engine's own
    // dataset named for it: never one of our light datasets.
    Rendering rendering = Rendering::Automatic;
    std::string fallback; // why the last HRTF request was not met
    // A playback device's layout as the engine (or for an older engine, the system) reported
    // it when the device opened, before any HRTF request could make it stereo.
    std::optional<int> outputChannels;

    // A playback device's clock (ALC_SOFT_device_clock), to tell one that has stopped playing:
    // when it opened and what its clock read then, and the last value read since when.
    Clock::time_point openedAt;
    ALCint64SOFT clockAtOpenNs = 0;
    ALCint64SOFT clockNs = 0;
    Clock::time_point clockSince;

    std::vector<SourceSound> sounds; // of the 3D sources
    // The HRTF dataset and rate the sources' gains were matched for; empty for panning.
    std::string matchedDataset;
    int matchedRateHz = 0;
};

// Opens the default playback device into state; false, leaving in state what Close must
// close, when it does not open (or is the engine's null device). Waits on the server.
bool OpenPlayback(DeviceState& state, Deadline deadline);
// Opens a loopback device rendering 16-bit samples; false when the engine refuses.
bool OpenLoopback(DeviceState& state, int rateHz, int channels);
// Closes what state holds. Waits on the server.
void Close(DeviceState& state);

// A device whose clock has stood still this long has lost its server, frozen or gone, even where
// the engine keeps it connected. A server takes up to 2 s to start taking a new stream, and one
// that stutters stops for a few seconds at a time.
constexpr std::chrono::milliseconds longestStall{3000};

// Whether the engine says the device is still connected. Some backends never say otherwise
// (OpenAL Soft 1.24's PipeWire backend when the server is killed): see Stalled and SeenPlaying.
bool Connected(DeviceState& state);
// Whether a playback device's clock has read the same for at least limit: its server stopped
// taking what the engine mixes, whether it is frozen or gone.
bool Stalled(DeviceState& state, std::chrono::milliseconds limit);
// Waits until the device is seen playing: connected, and its clock moving within longestStall,
// by deadline. A device that opened a moment ago gets the benefit of the doubt, as its stream
// may not have started.
bool SeenPlaying(DeviceState& state, Deadline deadline);

// What the engine is told at context creation and at each reset; a dataset below 0, or a
// rate of 0, is left to the engine.
std::vector<ALCint> Attributes(const DeviceState& state, Rendering rendering, int dataset, int rateHz);
// The HRTF datasets the engine lists, in its order of preference.
std::vector<std::string> ListDatasets(ALCdevice* device);

// Gives each 3D source the gain that makes its sound, over a whole turn around the listener, as
// loud under the device's rendering as under panning: HRTF datasets differ in loudness, and a
// listener comparing renderings hears the louder one as the better and closer. Measured on a
// loopback device at the device's rate, with the same dataset, whenever the rendering or the
// sound changes; the measurement leaves the device's context current again.
void MatchLoudness(DeviceState& state);
// Notes a 3D source's new sound and matches its loudness; forgets it for an empty one.
void NoteSound(DeviceState& state, ALuint source, const WAVEFORMATEX& format, std::vector<BYTE> samples);

// Switches the whole device to the rendering; Report says why a request fell back. Waits on
// the server.
Selection Select(DeviceState& state, Rendering rendering);
// What the engine renders with now.
RenderingReport Report(DeviceState& state);

} // namespace sound
