// The DirectSound buffer on OpenAL Soft: the check of a buffer description, and
// the buffer object, an engine source playing an engine buffer.
#pragma once

#include <memory>

#include "platform/openal/dsound_api.h"
#include "platform/openal/openal_output.h"

namespace sound {

// What a valid buffer description asks for.
struct BufferRequest {
    DWORD flags = 0;
    DWORD bytes = 0;
    WAVEFORMATEX format{};
    Rendering rendering = Rendering::Automatic;
};

// Accepts exactly the description sizes of the platform, with and without the
// 3D algorithm, and what the layer can play.
HRESULT CheckDescription(const DSBUFFERDESC* description, BufferRequest& request);

// A new buffer on output, as requested, holding one reference; null when the
// engine refuses it.
IDirectSoundBuffer* NewSoundBuffer(std::shared_ptr<Output> output, const BufferRequest& request);

} // namespace sound
