// What the system knows of the output the engine plays to: its real channel
// count, which the engine itself does not report, and whether the sound server
// it plays through is still there, which the engine does not always notice.
// Each system answers in its own way.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sound {

struct ChannelsAnswer {
    // False when whoever knows (the sound server) did not answer within the limit.
    bool answered = true;
    // The output's channel count; nothing when no one can tell (no server to ask).
    std::optional<int> channels;
};

// The channel count of the output this process plays to, asked within limit.
ChannelsAnswer OutputChannels(std::chrono::milliseconds limit);

// The sound servers the output may play through, as found listening when the
// device opened (on Linux, the sockets of PipeWire and PulseAudio).
struct OutputServers {
    std::vector<std::string> sockets;
};

// The servers listening now; at once, without talking to them.
OutputServers ListeningOutputServers();

// Whether every one of those servers still listens. One that stopped has gone,
// and the output with it, even where the engine does not notice (OpenAL Soft
// 1.24's PipeWire backend keeps a device connected whose server was killed).
// A server that is frozen still listens.
bool StillListening(const OutputServers& servers);

} // namespace sound
