// What an engine device's thread knows of its device, and the work that thread does with it.
// Everything here runs on the device's engine thread only (engine_thread.h).
#pragma once

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/openal/engine_thread.h"
#include "platform/openal/rendering.h"

namespace sound {

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

    // The device clock as last read, to tell a device that stopped playing.
    std::optional<ALCint64SOFT> clockNs;
    Clock::time_point clockReadAt;
};

// Opens the default playback device into state; false, leaving in state what Close must
// close, when it does not open (or is the engine's null device). Waits on the server.
bool OpenPlayback(DeviceState& state, Deadline deadline);
// Opens a loopback device rendering 16-bit samples; false when the engine refuses.
bool OpenLoopback(DeviceState& state, int rateHz, int channels);
// Closes what state holds. Waits on the server.
void Close(DeviceState& state);

// Whether the device still plays: the engine says it is connected, and its clock moves.
bool Connected(DeviceState& state);

// What the engine is told at context creation and at each reset; a dataset below 0, or a
// rate of 0, is left to the engine.
std::vector<ALCint> Attributes(const DeviceState& state, Rendering rendering, int dataset, int rateHz);
// The HRTF datasets the engine lists, in its order of preference.
std::vector<std::string> ListDatasets(DeviceState& state);

// Switches the whole device to the rendering; Report says why a request fell back. Waits on
// the server.
Selection Select(DeviceState& state, Rendering rendering);
// What the engine renders with now.
RenderingReport Report(DeviceState& state);

} // namespace sound
