// Device objects on the engine's loopback device, which renders only when asked: what the
// layer's tests and the offline renderer listen to.
#pragma once

#include <cstdint>

#include "platform/openal/dsound_api.h"
#include "platform/openal/rendering.h"

namespace sound {

// Creates a device object whose output is 16-bit samples at rateHz, with one or two channels.
HRESULT CreateLoopbackDevice(int rateHz, int channels, LPDIRECTSOUND* device);

// Renders frames of interleaved samples from a device made by CreateLoopbackDevice.
bool RenderLoopback(LPDIRECTSOUND device, std::int16_t* samples, int frames);

} // namespace sound
