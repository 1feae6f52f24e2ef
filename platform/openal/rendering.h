// How a device renders its 3D sources: the renderings a buffer can ask for, the work that switches
// a device to one (on its engine thread), and what the engine renders with now.
#pragma once

#include <AL/alc.h>

#include <string>
#include <vector>

namespace sound {

struct DeviceState;

enum class Rendering {
    Automatic, // the engine decides: HRTF only where it detects headphones, or where the user forces it
    Panning,   // plain panning, unless the user forces HRTF
    HrtfFull,  // HRTF with the engine's own dataset, or the user's default-hrtf
    HrtfLight, // HRTF with our shortened dataset
};

// Whether the rendering requires HRTF.
inline bool RequiresHrtf(Rendering rendering)
{
    return rendering == Rendering::HrtfFull || rendering == Rendering::HrtfLight;
}

// What became of a request for a rendering.
enum class Selection {
    Rendered, // the device renders as asked
    Panned,   // it cannot render the requested HRTF, and pans instead
    NoDevice, // the device is gone
};

// How a device renders its 3D buffers now, as the engine reports it.
struct RenderingReport {
    bool hrtf = false;    // binaural HRTF; otherwise plain panning
    std::string dataset;  // the HRTF dataset's name, when hrtf
    std::string fallback; // why the last 3D buffer did not get the HRTF it asked for; empty when it did, or asked for none
    int rateHz = 0;       // the rate the engine mixes at
    std::vector<std::string> datasets; // the HRTF datasets the engine lists, in its order of preference
    std::string engineVersion;         // as the engine gives it: "1.1 ALSOFT 1.24.2"
    // How far below the gain that matches panning's loudness a 3D buffer was left, at most:
    // where that gain would clip, it stops at the headroom below full scale. 0 when none did.
    double loudnessShortfallDb = 0.0;
};

// What follows is work on the device's engine thread.

// What the engine is told at context creation and at each reset; a dataset below 0, or a
// rate of 0, is left to the engine.
std::vector<ALCint> Attributes(const DeviceState& state, Rendering rendering, int dataset, int rateHz);
// Resets the device to the rendering; waits on the server.
bool Reset(DeviceState& state, Rendering rendering, int dataset, int rateHz);
// The HRTF datasets the engine lists, in its order of preference.
std::vector<std::string> ListDatasets(ALCdevice* device);
// The dataset the engine renders with; empty for panning.
std::string LoadedDataset(ALCdevice* device);

// Switches the whole device to the rendering; Report says why a request fell back. Waits on
// the server.
Selection Select(DeviceState& state, Rendering rendering);
// What the engine renders with now.
RenderingReport Report(DeviceState& state);

} // namespace sound
