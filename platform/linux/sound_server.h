// What the sound server knows about this process's own playback stream.
#pragma once

#include <chrono>
#include <optional>

namespace sound {

// The channel count of this process's playback stream on a PulseAudio server
// (PipeWire's included), asked through a connection of its own that is closed
// before the answer comes back. Nothing when no such server answers within
// limit, or it holds no stream of ours (the engine plays through ALSA or JACK).
std::optional<int> OwnStreamChannels(std::chrono::milliseconds limit);

} // namespace sound
