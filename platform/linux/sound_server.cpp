// The sound server's answers on Linux: a PulseAudio server (PipeWire's included) is asked about
// this process's own playback stream through a connection of its own. Our streams are told from
// others' by a mark that every PulseAudio and PipeWire client of this process puts on them
// (PULSE_PROP_<key>, read by libpulse; PIPEWIRE_PROPS, read by PipeWire), so the question holds
// in a PID namespace too, where the server sees other process ids than ours. No server to ask
// (the engine plays through ALSA or JACK) tells nothing.
#include "platform/openal/sound_server.h"

#include <pulse/pulseaudio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace sound {
namespace {

struct ContextRelease {
    void operator()(pa_context* context) const
    {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
using Operation = std::unique_ptr<pa_operation, decltype(&pa_operation_unref)>;

constexpr const char* markKey = "orbit-tone.instance";

// This process's mark; set once, before the engine's first call.
std::string& Mark()
{
    static std::string mark;
    return mark;
}

bool Marked(const pa_proplist* properties)
{
    const char* mark = pa_proplist_gets(properties, markKey);
    return mark && Mark() == mark;
}

// What the listings of the server's clients and streams found: a stream that carries our mark
// itself, or one whose client does (PipeWire's PulseAudio server shows the mark of a PulseAudio
// client on the client only).
struct Listing {
    int pending = 2;
    std::uint32_t questioner = PA_INVALID_INDEX; // our own client, which plays nothing
    std::optional<int> channels;
    std::vector<std::uint32_t> ourClients;
    std::vector<std::pair<std::uint32_t, int>> streams; // client, channels

    ServerAnswer Answer() const
    {
        if (channels)
            return {.listed = true, .channels = channels};
        for (const auto& [client, streamChannels] : streams) {
            if (client != questioner && std::ranges::find(ourClients, client) != ourClients.end())
                return {.listed = true, .channels = streamChannels};
        }
        return {};
    }
};

void OnClient(pa_context*, const pa_client_info* info, int last, void* userdata)
{
    auto* listing = static_cast<Listing*>(userdata);
    if (last) {
        --listing->pending;
        return;
    }
    if (info && Marked(info->proplist))
        listing->ourClients.push_back(info->index);
}

void OnStream(pa_context*, const pa_sink_input_info* info, int last, void* userdata)
{
    auto* listing = static_cast<Listing*>(userdata);
    if (last) {
        --listing->pending;
        return;
    }
    if (!info)
        return;
    if (Marked(info->proplist) && info->client != listing->questioner)
        listing->channels = info->sample_spec.channels;
    else if (info->client != PA_INVALID_INDEX)
        listing->streams.emplace_back(info->client, info->sample_spec.channels);
}

} // namespace

void PrepareServerQuestion()
{
    // Unique enough among the streams one server plays: the process id and 64 random bits.
    std::random_device entropy;
    const std::uint64_t random = (std::uint64_t{entropy()} << 32) | entropy();
    Mark() = std::to_string(getpid()) + "-" + std::to_string(random);
    // For the engine's PulseAudio backend, on its clients and streams; for its PipeWire backend
    // (1.20 on), on its streams, added to the properties the user gives there.
    setenv(("PULSE_PROP_" + std::string(markKey)).c_str(), Mark().c_str(), 1);
    const char* userProperties = getenv("PIPEWIRE_PROPS");
    std::string properties = userProperties ? userProperties : "";
    const std::string ours = " \"" + std::string(markKey) + "\" = \"" + Mark() + "\" ";
    const std::size_t close = properties.rfind('}');
    if (properties.find_first_not_of(" \t\n") == std::string::npos)
        properties = "{" + ours + "}";
    else if (close != std::string::npos)
        properties.insert(close, ours);
    else
        properties += ours;
    setenv("PIPEWIRE_PROPS", properties.c_str(), 1);
}

ServerAnswer AskAboutOurStream(Deadline deadline)
{
    bool late = false;
    // Runs the loop once, waiting at most until the deadline; false once it has passed or failed.
    const auto turn = [deadline, &late](pa_mainloop* loop) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            late = true;
            return false;
        }
        return pa_mainloop_prepare(loop, static_cast<int>(left.count())) >= 0 && pa_mainloop_poll(loop) >= 0 &&
               pa_mainloop_dispatch(loop) >= 0;
    };
    // A server that refuses or drops the connection is none; one that keeps silent did not answer.
    const auto unanswered = [&late] { return ServerAnswer{.answered = !late, .listed = false, .channels = std::nullopt}; };

    const std::unique_ptr<pa_mainloop, decltype(&pa_mainloop_free)> loop(pa_mainloop_new(), pa_mainloop_free);
    if (!loop)
        return unanswered();
    const std::unique_ptr<pa_context, ContextRelease> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "orbit-tone stream check"));
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return unanswered();
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state) || !turn(loop.get()))
            return unanswered();
    }

    Listing listing;
    listing.questioner = pa_context_get_index(context.get());
    const Operation clients(pa_context_get_client_info_list(context.get(), OnClient, &listing), pa_operation_unref);
    const Operation streams(pa_context_get_sink_input_info_list(context.get(), OnStream, &listing), pa_operation_unref);
    if (!clients || !streams)
        return unanswered();
    while (listing.pending > 0) {
        if (!turn(loop.get()))
            return unanswered();
    }
    return listing.Answer();
}

} // namespace sound
