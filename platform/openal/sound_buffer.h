// The DirectSound buffer on OpenAL Soft: the check of a buffer description, and the buffer
// object, an engine source playing an engine buffer.
#pragma once

#include <AL/al.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/openal/dsound_api.h"
#include "platform/openal/engine_device.h"
#include "platform/openal/rendering.h"

namespace sound {

struct DeviceState;

// What a valid buffer description asks for.
struct BufferRequest {
    DWORD flags = 0;
    DWORD bytes = 0;
    WAVEFORMATEX format{};
    Rendering rendering = Rendering::Automatic;
};

// Accepts exactly the description sizes of the platform, with and without the 3D algorithm,
// and what the layer can play.
HRESULT CheckDescription(const DSBUFFERDESC* description, BufferRequest& request);

// A buffer's objects in the engine.
struct EngineSource {
    ALuint source = 0;
    ALuint buffer = 0;
};

// Work on the device's engine thread: the engine's objects for a new buffer, holding silence
// and set up as the platform sets up a new buffer; nothing when the engine refuses.
std::optional<EngineSource> CreateEngineSource(DeviceState& state, const BufferRequest& request);

// A new buffer object on device for the engine's objects, holding one reference.
IDirectSoundBuffer* NewSoundBuffer(std::shared_ptr<EngineDevice> device, const BufferRequest& request,
                                   EngineSource engine);

} // namespace sound
