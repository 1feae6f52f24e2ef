// Device objects on the engine's loopback device, which renders only when asked
// (what the layer's tests and the offline renderer listen to), and what any
// device of the layer renders with.
#pragma once

#include <cstdint>
#include <string>

#include "platform/openal/dsound_api.h"

namespace sound {

// Creates a device object whose output is 16-bit samples at rateHz, with one or two channels.
HRESULT CreateLoopbackDevice(int rateHz, int channels, LPDIRECTSOUND* device);

// Renders frames of interleaved samples from a device made by CreateLoopbackDevice.
bool RenderLoopback(LPDIRECTSOUND device, std::int16_t* samples, int frames);

// How a device renders its 3D buffers now, as the engine reports it.
struct RenderingReport {
    bool hrtf = false;    // binaural HRTF; otherwise plain panning
    std::string dataset;  // the HRTF dataset's name, when hrtf
    std::string fallback; // why the last 3D buffer did not get the HRTF it asked for; empty when it did, or asked for none
    int rateHz = 0;       // the rate the engine mixes at
};

// Fills report for a device of the layer; false for anything else.
bool DescribeRendering(LPDIRECTSOUND device, RenderingReport& report);

} // namespace sound
