// The output's channel count on Linux: the PulseAudio server (PipeWire's
// included) is asked for that of this process's own playback stream, through a
// connection of its own that is closed before the answer comes back. No server
// to ask (the engine plays through ALSA or JACK) tells nothing.
#include "platform/openal/output_layout.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace sound {
namespace {

struct MainLoopFree {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextRelease {
    void operator()(pa_context* context) const
    {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct OperationRelease {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

enum class Process { Ours, Other, Unnamed };

// The process a stream or client names as its own.
Process ProcessOf(const pa_proplist* properties)
{
    const char* pid = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    if (!pid)
        return Process::Unnamed;
    const std::string_view text(pid);
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool ours = error == std::errc() && end == text.data() + text.size() && value == static_cast<long>(getpid());
    return ours ? Process::Ours : Process::Other;
}

// What the listings of the server's clients and streams found. A stream made
// through PulseAudio names our process itself; one that PipeWire's server
// shows from a PipeWire client of ours (OpenAL Soft's own PipeWire backend)
// names none, and only its client does.
struct Listing {
    int pending = 2;
    std::optional<int> channels;
    std::vector<std::uint32_t> ourClients;
    std::vector<std::pair<std::uint32_t, int>> unnamedStreams; // client, channels

    std::optional<int> Channels() const
    {
        if (channels)
            return channels;
        for (const auto& [client, streamChannels] : unnamedStreams) {
            if (std::find(ourClients.begin(), ourClients.end(), client) != ourClients.end())
                return streamChannels;
        }
        return std::nullopt;
    }
};

void OnClient(pa_context*, const pa_client_info* info, int last, void* userdata)
{
    auto* listing = static_cast<Listing*>(userdata);
    if (last) {
        --listing->pending;
        return;
    }
    if (info && ProcessOf(info->proplist) == Process::Ours)
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
    switch (ProcessOf(info->proplist)) {
    case Process::Ours:
        listing->channels = info->sample_spec.channels;
        return;
    case Process::Unnamed:
        if (info->client != PA_INVALID_INDEX)
            listing->unnamedStreams.emplace_back(info->client, info->sample_spec.channels);
        return;
    case Process::Other:
        return;
    }
}

} // namespace

ChannelsAnswer OutputChannels(std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
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
    const auto unanswered = [&late] { return ChannelsAnswer{.answered = !late, .channels = std::nullopt}; };

    const std::unique_ptr<pa_mainloop, MainLoopFree> loop(pa_mainloop_new());
    if (!loop)
        return unanswered();
    const std::unique_ptr<pa_context, ContextRelease> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "orbit-tone output check"));
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
    const std::unique_ptr<pa_operation, OperationRelease> clients(
        pa_context_get_client_info_list(context.get(), OnClient, &listing));
    const std::unique_ptr<pa_operation, OperationRelease> streams(
        pa_context_get_sink_input_info_list(context.get(), OnStream, &listing));
    if (!clients || !streams)
        return unanswered();
    while (listing.pending > 0) {
        if (!turn(loop.get()))
            return unanswered();
    }
    return {.answered = true, .channels = listing.Channels()};
}

} // namespace sound
