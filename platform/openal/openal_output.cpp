// OpenAL Soft output devices: opened quietly, with HRTF chosen from the datasets
// the engine reports.
#include "platform/openal/openal_output.h"

#define AL_ALEXT_PROTOTYPES
#include <AL/alext.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/openal/bounded_call.h"
#include "platform/openal/engine_setup.h"
#include "platform/openal/output_layout.h"

namespace sound {
namespace {

// How long the engine may wait on the sound server. One that answers has a
// device open in 10-15 ms, and asked about and switched to HRTF in 5-7 ms
// (0.4 s and 0.2 s under valgrind); one that stopped answering would keep the
// engine waiting for ever. The question and a reset together stay within 5 s,
// so the program answers a choice within 6 s whatever the server does.
constexpr std::chrono::milliseconds longestOpeningWait{5000};
constexpr std::chrono::milliseconds longestResetWait{3000};
constexpr std::chrono::milliseconds longestClosingWait{1000};
constexpr std::chrono::milliseconds longestServerQuestion{2000};

int IndexOf(const std::vector<std::string>& names, const std::string& name)
{
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

} // namespace

std::unique_lock<std::recursive_mutex> LockEngine()
{
    static std::recursive_mutex engineMutex;
    return std::unique_lock(engineMutex);
}

Output::Output(ALCdevice* device, bool loopback, int channels)
    : device_(device)
    , loopback_(loopback)
    , channels_(channels)
{
}

Output::~Output()
{
    // The engine may hold its locks in the work given up on, and any call could
    // wait for ever: the device is left to the process's exit.
    if (unresponsive_)
        return;
    {
        const auto lock = LockEngine();
        if (context_ && alcGetCurrentContext() == context_)
            alcMakeContextCurrent(nullptr);
    }
    const auto close = [context = context_, device = device_] {
        if (context)
            alcDestroyContext(context);
        alcCloseDevice(device);
    };
    if (loopback_)
        close();
    else
        FinishesWithin(longestClosingWait, close); // a server that stopped answering would hold it for half a minute
}

std::shared_ptr<Output> Output::OpenDefault()
{
    PrepareEngineOnce();
    // A server that stopped answering would keep the engine waiting for ever.
    // An opening that finishes too late closes what it opened as it ends.
    auto opened = std::make_shared<std::shared_ptr<Output>>();
    if (!FinishesWithin(longestOpeningWait, [opened] { *opened = OpenDefaultNow(); }))
        return nullptr;
    return *opened;
}

std::shared_ptr<Output> Output::OpenDefaultNow()
{
    ALCdevice* device = alcOpenDevice(nullptr);
    if (!device)
        return nullptr;
    const ALCchar* name = alcGetString(device, ALC_ALL_DEVICES_SPECIFIER);
    if (!name || std::strcmp(name, "No Output") == 0) {
        alcCloseDevice(device);
        return nullptr;
    }
    std::shared_ptr<Output> output(new Output(device, false, 2));
    output->servers_ = ListeningOutputServers();
    // Should the engine turn HRTF on by itself (for headphones), it takes its own
    // dataset, named here: on Windows the engine lists ours first.
    const std::vector<std::string> listed = output->ListDatasets();
    const std::vector<std::string> own = DatasetCandidates(output->rendering_, listed, 0, true);
    const int dataset = own.empty() ? -1 : IndexOf(listed, own.front());
    output->context_ =
        alcCreateContext(device, output->Attributes(output->rendering_, dataset, output->rateHz_).data());
    if (!output->context_)
        return nullptr;
    alcGetIntegerv(device, ALC_FREQUENCY, 1, &output->rateHz_);
    return output;
}

std::shared_ptr<Output> Output::OpenLoopback(int rateHz, int channels)
{
    PrepareEngineOnce();
    const auto lock = LockEngine();
    const ALCint channelFormat = channels == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT;
    ALCdevice* device = alcLoopbackOpenDeviceSOFT(nullptr);
    if (!device)
        return nullptr;
    std::shared_ptr<Output> output(new Output(device, true, channels));
    if ((channels != 1 && channels != 2) || !alcIsRenderFormatSupportedSOFT(device, rateHz, channelFormat, ALC_SHORT_SOFT))
        return nullptr;
    output->rateHz_ = rateHz;
    output->context_ = alcCreateContext(device, output->Attributes(output->rendering_, -1, output->rateHz_).data());
    if (!output->context_)
        return nullptr;
    return output;
}

bool Output::MakeCurrent()
{
    if (unresponsive_)
        return false;
    if (alcGetCurrentContext() != context_)
        alcMakeContextCurrent(context_);
    return true;
}

Selection Output::Select(Rendering rendering)
{
    const auto lock = LockEngine();
    if (!Connected())
        return Selection::NoDevice;
    if (rendering == rendering_)
        return Selection::Rendered;
    // Each reset has the sound server grant the engine's latency anew, from the
    // count it granted last: shorter each time, and dearer. Panning needs none
    // while the engine renders no HRTF.
    ALCint hrtf = ALC_FALSE;
    alcGetIntegerv(device_, ALC_HRTF_SOFT, 1, &hrtf);
    if (rendering == Rendering::Panning && hrtf == ALC_FALSE) {
        rendering_ = rendering;
        return Selection::Rendered;
    }
    fallback_.clear();
    const std::vector<std::string> listed = ListDatasets();
    MakeCurrent();
    const char* version = alGetString(AL_VERSION);
    const bool resamples = EngineResamplesDatasets(version ? version : "");
    const std::vector<std::string> candidates = DatasetCandidates(rendering, listed, rateHz_, resamples);

    if (!RequiresHrtf(rendering)) {
        // Should the engine or the user turn HRTF on, the engine's own dataset serves.
        const int dataset = candidates.empty() ? -1 : IndexOf(listed, candidates.front());
        if (Reset(rendering, dataset, rateHz_)) {
            rendering_ = rendering;
            return Selection::Rendered;
        }
        if (fallback_.empty())
            fallback_ = "the engine refused the rendering";
    } else if (!AskOutputChannels()) {
        fallback_ = "the sound server does not answer";
        return Selection::NoDevice;
    } else if (fallback_ = HrtfObstacle(); fallback_.empty()) {
        if (SelectHrtf(rendering, listed, candidates, resamples))
            return Selection::Rendered;
        if (fallback_.empty())
            fallback_ = rendering == Rendering::HrtfLight ? "the light HRTF dataset was not found"
                                                          : "the engine lists no HRTF dataset";
    }
    // A reset that failed because the server went away, or gave up on one
    // that stopped answering, leaves nothing to render with.
    if (!Connected() || !Reset(Rendering::Panning, -1, rateHz_) || !Connected())
        return Selection::NoDevice;
    rendering_ = Rendering::Panning;
    return Selection::Panned;
}

bool Output::SelectHrtf(Rendering rendering, const std::vector<std::string>& listed,
                        const std::vector<std::string>& candidates, bool resamples)
{
    const int deviceRateHz = rateHz_;
    if (TryDatasets(rendering, listed, candidates, deviceRateHz))
        return true;
    // An engine that cannot resample a dataset runs at the rate of the one it
    // loads. Where nothing is made for the device's rate, run at the nearest
    // rate that has a dataset, and leave the server to convert; a loopback
    // device renders at the caller's rate only.
    if (!loopback_ && !resamples && !unresponsive_) {
        const int datasetRateHz = NearestDatasetRate(rendering, listed, deviceRateHz);
        if (datasetRateHz > 0 && datasetRateHz != deviceRateHz &&
            TryDatasets(rendering, listed, DatasetCandidates(rendering, listed, datasetRateHz, false), datasetRateHz))
            return true;
    }
    if (fallback_.empty() && (!candidates.empty() || NearestDatasetRate(rendering, listed, deviceRateHz) > 0))
        fallback_ = "no HRTF dataset loads at " + std::to_string(deviceRateHz) + " Hz";
    rateHz_ = deviceRateHz;
    return false;
}

bool Output::TryDatasets(Rendering rendering, const std::vector<std::string>& listed,
                         const std::vector<std::string>& candidates, int rateHz)
{
    for (const std::string& name : candidates) {
        if (!Reset(rendering, IndexOf(listed, name), rateHz)) {
            if (unresponsive_)
                return false;
            continue;
        }
        ALCint status = ALC_HRTF_DISABLED_SOFT;
        ALCint runningHz = 0;
        alcGetIntegerv(device_, ALC_HRTF_STATUS_SOFT, 1, &status);
        alcGetIntegerv(device_, ALC_FREQUENCY, 1, &runningHz);
        if (status == ALC_HRTF_DENIED_SOFT) {
            fallback_ = "HRTF is turned off in the OpenAL Soft configuration (hrtf = false)";
            return false;
        }
        // An engine that cannot load the dataset at this rate may have switched
        // the device to the dataset's own rate, or to another dataset.
        const ALCchar* selected = alcGetString(device_, ALC_HRTF_SPECIFIER_SOFT);
        const bool enabled = status == ALC_HRTF_ENABLED_SOFT || status == ALC_HRTF_REQUIRED_SOFT;
        if (enabled && selected && name == selected && runningHz == rateHz) {
            rateHz_ = rateHz;
            rendering_ = rendering;
            return true;
        }
    }
    return false;
}

bool Output::AskOutputChannels()
{
    // HRTF is binaural stereo. Asked for it, the engine would make any output
    // stereo and leave the server to mix the two ears down: the layer has to
    // know the output's real layout first. OpenAL Soft 1.19 reports no channel
    // count for a playback device, so the system is asked: on Linux, the sound
    // server for that of our own stream, which the engine opened with HRTF off
    // in the layout it picked from the sink (or from the user's "channels"
    // setting). That stream turns stereo once HRTF has been on, so the first
    // answer is kept. A server that does not answer now would not let the
    // engine reset the device either.
    if (loopback_ || outputChannelsKnown_)
        return true;
    const ChannelsAnswer answer = OutputChannels(longestServerQuestion);
    outputChannelsKnown_ = answer.answered;
    outputChannels_ = answer.channels;
    return answer.answered;
}

std::string Output::HrtfObstacle()
{
    const std::optional<int> channels = loopback_ ? std::optional<int>(channels_) : outputChannels_;
    if (!channels || *channels == 2)
        return "";
    return *channels == 1 ? "the output is mono" : "the output has " + std::to_string(*channels) + " channels, not 2";
}

RenderingReport Output::Report()
{
    const auto lock = LockEngine();
    RenderingReport report;
    if (unresponsive_) {
        report.fallback = fallback_;
        report.rateHz = rateHz_;
        return report;
    }
    ALCint enabled = ALC_FALSE;
    alcGetIntegerv(device_, ALC_HRTF_SOFT, 1, &enabled);
    report.hrtf = enabled == ALC_TRUE;
    if (const ALCchar* name = report.hrtf ? alcGetString(device_, ALC_HRTF_SPECIFIER_SOFT) : nullptr)
        report.dataset = name;
    report.fallback = fallback_;
    alcGetIntegerv(device_, ALC_FREQUENCY, 1, &report.rateHz);
    return report;
}

std::vector<ALCint> Output::Attributes(Rendering rendering, int dataset, int rateHz) const
{
    std::vector<ALCint> attributes;
    attributes.reserve(16); // the longest list; also spares GCC 12 a false -Wstringop-overflow at -O3
    if (loopback_) {
        attributes.insert(attributes.end(), {ALC_FORMAT_CHANNELS_SOFT, channels_ == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT,
                                             ALC_FORMAT_TYPE_SOFT, ALC_SHORT_SOFT});
    }
    // Once known, the rate is pinned, or the server's choice could change it at each reset.
    if (rateHz > 0)
        attributes.insert(attributes.end(), {ALC_FREQUENCY, rateHz});
    // Like the platform's mixer, the engine clips rather than limits: its limiter
    // costs a logarithm and an exponential per sample.
    attributes.insert(attributes.end(), {ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE});
    switch (rendering) {
    case Rendering::Automatic:
        attributes.insert(attributes.end(), {ALC_HRTF_SOFT, ALC_DONT_CARE_SOFT});
        break;
    case Rendering::Panning:
        attributes.insert(attributes.end(), {ALC_HRTF_SOFT, ALC_FALSE});
        break;
    case Rendering::HrtfFull:
    case Rendering::HrtfLight:
        attributes.insert(attributes.end(), {ALC_HRTF_SOFT, ALC_TRUE});
        break;
    }
    if (dataset >= 0)
        attributes.insert(attributes.end(), {ALC_HRTF_ID_SOFT, dataset});
    attributes.push_back(0);
    return attributes;
}

bool Output::Reset(Rendering rendering, int dataset, int rateHz)
{
    if (unresponsive_)
        return false;
    const std::vector<ALCint> attributes = Attributes(rendering, dataset, rateHz);
    if (loopback_)
        return alcResetDeviceSOFT(device_, attributes.data()) == ALC_TRUE;
    // The engine waits on the server to stop and restart its stream.
    auto reset = std::make_shared<ALCboolean>(ALC_FALSE);
    if (!FinishesWithin(longestResetWait, [reset, device = device_, attributes] {
            *reset = alcResetDeviceSOFT(device, attributes.data());
        })) {
        unresponsive_ = true;
        fallback_ = "the sound server stopped answering";
        return false;
    }
    return *reset == ALC_TRUE;
}

std::vector<std::string> Output::ListDatasets()
{
    ALCint count = 0;
    alcGetIntegerv(device_, ALC_NUM_HRTF_SPECIFIERS_SOFT, 1, &count);
    std::vector<std::string> names;
    for (ALCint index = 0; index < count; ++index) {
        const ALCchar* name = alcGetStringiSOFT(device_, ALC_HRTF_SPECIFIER_SOFT, index);
        names.emplace_back(name ? name : "");
    }
    return names;
}

bool Output::Connected()
{
    const auto lock = LockEngine();
    if (unresponsive_)
        return false;
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(device_, ALC_CONNECTED, 1, &connected);
    return connected != ALC_FALSE && (loopback_ || StillListening(servers_));
}

bool Output::Render(std::int16_t* samples, int frames)
{
    if (!loopback_ || !samples || frames < 0)
        return false;
    const auto lock = LockEngine();
    alcRenderSamplesSOFT(device_, samples, frames);
    return true;
}

} // namespace sound
