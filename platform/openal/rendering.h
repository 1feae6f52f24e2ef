// How a device renders its 3D sources: the renderings a buffer can ask for, and what the
// engine renders with now.
#pragma once

#include <string>
#include <vector>

#include "platform/openal/dsound_api.h"

namespace sound {

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

// Fills report for a device of the layer; false for anything else, or a device that is lost.
bool DescribeRendering(LPDIRECTSOUND device, RenderingReport& report);

} // namespace sound
