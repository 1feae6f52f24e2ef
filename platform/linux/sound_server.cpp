// The output's channel count on Linux: the PulseAudio server (PipeWire's
// included) is asked for that of this process's own playback stream, through a
// connection of its own that is closed before the answer comes back. No server
// to ask (the engine plays through ALSA or JACK) tells nothing.
#include "platform/openal/output_layout.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <charconv>
#include <memory>
#include <string_view>

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

// What the listing of the server's streams found.
struct Listing {
    bool done = false;
    std::optional<int> channels;
};

bool IsOurs(const pa_proplist* properties)
{
    const char* pid = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    if (!pid)
        return false;
    const std::string_view text(pid);
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value == static_cast<long>(getpid());
}

void OnStream(pa_context*, const pa_sink_input_info* info, int last, void* userdata)
{
    auto* listing = static_cast<Listing*>(userdata);
    if (last) {
        listing->done = true;
        return;
    }
    if (info && IsOurs(info->proplist))
        listing->channels = info->sample_spec.channels;
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
    const std::unique_ptr<pa_operation, OperationRelease> listed(
        pa_context_get_sink_input_info_list(context.get(), OnStream, &listing));
    if (!listed)
        return unanswered();
    while (!listing.done) {
        if (!turn(loop.get()))
            return unanswered();
    }
    return {.answered = true, .channels = listing.channels};
}

} // namespace sound
