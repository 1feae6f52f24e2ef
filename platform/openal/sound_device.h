// The DirectSound device objects beyond DirectSoundCreate's: devices on the engine's loopback
// device, which renders only when asked (what the layer's tests and the offline renderer listen
// to), and what any device of the layer reports of its rendering.
#pragma once

#include <cstdint>

#include "platform/openal/dsound_api.h"
#include "platform/openal/rendering.h"

namespace sound {

// Creates a device object whose output is 16-bit samples at rateHz, with one or two channels.
HRESULT CreateLoopbackDevice(int rateHz, int channels, LPDIRECTSOUND* device);

// Renders frames of interleaved samples from a device made by CreateLoopbackDevice.
bool RenderLoopback(LPDIRECTSOUND device, std::int16_t* samples, int frames);

// Fills report for a device of the layer; false for anything else, or once the engine is lost.
bool DescribeRendering(LPDIRECTSOUND device, RenderingReport& report);

} // namespace sound
