// The layout of the output the engine plays to. Engines from 1.22 on report it themselves;
// for older ones (1.19) each system asks whoever knows.
#pragma once

#include <optional>

#include "platform/openal/engine_thread.h"

namespace sound {

struct ChannelsAnswer {
    // False when whoever knows (the sound server) did not answer by the deadline.
    bool answered = true;
    // The output's channel count; nothing when no one can tell (no server to ask).
    std::optional<int> channels;
};

// Prepares the question, before the engine's first call: on Linux, our streams carry a mark of
// this process's own by which the sound server's listing tells them from others'.
void PrepareOutputQuestion();

// The channel count of the output the engine opened for this process, asked by deadline.
ChannelsAnswer OutputChannels(Deadline deadline);

} // namespace sound
