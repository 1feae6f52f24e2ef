// What the system knows of the output the engine plays to: its real channel
// count, which the engine itself does not report. Each system answers in its own way.
#pragma once

#include <chrono>
#include <optional>

namespace sound {

struct ChannelsAnswer {
    // False when whoever knows (the sound server) did not answer within the limit.
    bool answered = true;
    // The output's channel count; nothing when no one can tell (no server to ask).
    std::optional<int> channels;
};

// The channel count of the output this process plays to, asked within limit.
ChannelsAnswer OutputChannels(std::chrono::milliseconds limit);

} // namespace sound
