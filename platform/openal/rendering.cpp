// How a device renders 3D sound: HRTF chosen from the datasets the engine reports, or panning
// where the output cannot take binaural stereo or no dataset loads.
#include "platform/openal/rendering.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/openal/device_state.h"
#include "platform/openal/engine_thread.h"
#include "platform/openal/hrtf_datasets.h"

namespace sound {
namespace {

// Why this output cannot render binaural stereo; empty when it can. HRTF is binaural stereo:
// asked for it, the engine would make any output stereo and leave the server to mix the two
// ears down.
std::string HrtfObstacle(const DeviceState& state)
{
    const std::optional<int> channels = state.loopback ? state.loopback->channels : state.outputChannels;
    if (!channels || *channels == 2)
        return "";
    return *channels == 1 ? "the output is mono" : "the output has " + std::to_string(*channels) + " channels, not 2";
}

// Resets the device to each candidate at rateHz in turn until the engine renders HRTF with it there.
bool TryDatasets(DeviceState& state, Rendering rendering, const std::vector<std::string>& listed,
                 const std::vector<std::string>& candidates, int rateHz)
{
    for (const std::string& name : candidates) {
        if (!Reset(state, rendering, DatasetIndex(listed, name), rateHz))
            continue;
        ALCint status = ALC_HRTF_DISABLED_SOFT;
        ALCint runningHz = 0;
        alcGetIntegerv(state.device, ALC_HRTF_STATUS_SOFT, 1, &status);
        alcGetIntegerv(state.device, ALC_FREQUENCY, 1, &runningHz);
        if (status == ALC_HRTF_DENIED_SOFT) {
            state.fallback = "HRTF is turned off in the OpenAL Soft configuration (hrtf = false)";
            return false;
        }
        // An engine that cannot load the dataset at this rate may have switched the device to
        // the dataset's own rate, or to another dataset.
        if (LoadedDataset(state.device) == name && runningHz == rateHz) {
            state.rateHz = rateHz;
            state.rendering = rendering;
            return true;
        }
    }
    return false;
}

// Turns HRTF on with the first candidate that loads; false, with the fallback's reason set,
// when none does.
bool SelectHrtf(DeviceState& state, Rendering rendering, const std::vector<std::string>& listed,
                const std::vector<std::string>& candidates, bool resamples)
{
    const int deviceRateHz = state.rateHz;
    if (TryDatasets(state, rendering, listed, candidates, deviceRateHz))
        return true;
    // An engine that cannot resample a dataset runs at the rate of the one it loads. Where
    // nothing is made for the device's rate, run at the nearest rate that has a dataset, and
    // leave the server to convert; a loopback device renders at the caller's rate only.
    if (!state.loopback && !resamples) {
        const int datasetRateHz = NearestDatasetRate(rendering, listed, deviceRateHz);
        if (datasetRateHz > 0 && datasetRateHz != deviceRateHz &&
            TryDatasets(state, rendering, listed, DatasetCandidates(rendering, listed, datasetRateHz, false),
                        datasetRateHz))
            return true;
    }
    if (state.fallback.empty() && (!candidates.empty() || NearestDatasetRate(rendering, listed, deviceRateHz) > 0))
        state.fallback = "no HRTF dataset loads at " + std::to_string(deviceRateHz) + " Hz";
    state.rateHz = deviceRateHz;
    return false;
}

} // namespace

std::vector<ALCint> Attributes(const DeviceState& state, Rendering rendering, int dataset, int rateHz)
{
    std::vector<ALCint> attributes;
    attributes.reserve(16); // the longest list; also spares GCC 12 a false -Wstringop-overflow at -O3
    if (state.loopback) {
        attributes.insert(attributes.end(), {ALC_FORMAT_CHANNELS_SOFT,
                                             state.loopback->channels == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT,
                                             ALC_FORMAT_TYPE_SOFT, state.loopback->type});
    }
    // Once known, the rate is pinned, or the server's choice could change it at each reset.
    if (rateHz > 0)
        attributes.insert(attributes.end(), {ALC_FREQUENCY, rateHz});
    // Like the platform's mixer, the engine clips rather than limits: its limiter costs a
    // logarithm and an exponential per sample.
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

bool Reset(DeviceState& state, Rendering rendering, int dataset, int rateHz)
{
    const std::vector<ALCint> attributes = Attributes(state, rendering, dataset, rateHz);
    // The engine waits on the server to stop and restart its stream. A playback device that
    // fails to is disconnected, and OpenAL Soft 1.24 crashes closing it: the engine is lost.
    const ALCboolean reset = alcResetDeviceSOFT(state.device, attributes.data());
    if (reset != ALC_TRUE && !state.loopback)
        LoseEngine();
    EndWorkIfLost();
    return reset == ALC_TRUE;
}

std::vector<std::string> ListDatasets(ALCdevice* device)
{
    ALCint count = 0;
    alcGetIntegerv(device, ALC_NUM_HRTF_SPECIFIERS_SOFT, 1, &count);
    std::vector<std::string> names;
    for (ALCint index = 0; index < count; ++index) {
        const ALCchar* name = alcGetStringiSOFT(device, ALC_HRTF_SPECIFIER_SOFT, index);
        names.emplace_back(name ? name : "");
    }
    return names;
}

std::string LoadedDataset(ALCdevice* device)
{
    ALCint hrtf = ALC_FALSE;
    alcGetIntegerv(device, ALC_HRTF_SOFT, 1, &hrtf);
    const ALCchar* name = hrtf == ALC_TRUE ? alcGetString(device, ALC_HRTF_SPECIFIER_SOFT) : nullptr;
    return name ? name : "";
}

Selection Select(DeviceState& state, Rendering rendering)
{
    if (!Connected(state))
        return Selection::NoDevice;
    if (rendering == state.rendering)
        return Selection::Rendered;
    // Each reset has the sound server grant the engine's latency anew, from the count it
    // granted last: shorter each time, and dearer. Panning needs none while the engine renders
    // no HRTF.
    if (rendering == Rendering::Panning && LoadedDataset(state.device).empty()) {
        state.rendering = rendering;
        return Selection::Rendered;
    }
    state.fallback.clear();
    const std::vector<std::string> listed = ListDatasets(state.device);
    const char* version = alGetString(AL_VERSION);
    const bool resamples = EngineResamplesDatasets(version ? version : "");
    const std::vector<std::string> candidates = DatasetCandidates(rendering, listed, state.rateHz, resamples);

    if (!RequiresHrtf(rendering)) {
        // Should the engine or the user turn HRTF on, the engine's own dataset serves.
        const int dataset = candidates.empty() ? -1 : DatasetIndex(listed, candidates.front());
        if (Reset(state, rendering, dataset, state.rateHz)) {
            state.rendering = rendering;
            return Selection::Rendered;
        }
        state.fallback = "the engine refused the rendering";
    } else if (state.fallback = HrtfObstacle(state); state.fallback.empty()) {
        if (SelectHrtf(state, rendering, listed, candidates, resamples))
            return Selection::Rendered;
        if (state.fallback.empty())
            state.fallback = rendering == Rendering::HrtfLight ? "the light HRTF dataset was not found"
                                                               : "the engine lists no HRTF dataset";
    }
    // A reset that failed because the server went away leaves nothing to render with.
    if (!Connected(state) || !Reset(state, Rendering::Panning, -1, state.rateHz) || !Connected(state))
        return Selection::NoDevice;
    state.rendering = Rendering::Panning;
    return Selection::Panned;
}

RenderingReport Report(DeviceState& state)
{
    RenderingReport report;
    report.dataset = LoadedDataset(state.device);
    report.hrtf = !report.dataset.empty();
    report.fallback = state.fallback;
    alcGetIntegerv(state.device, ALC_FREQUENCY, 1, &report.rateHz);
    report.datasets = ListDatasets(state.device);
    if (const char* version = alGetString(AL_VERSION))
        report.engineVersion = version;
    for (const SourceSound& sound : state.sounds)
        report.loudnessShortfallDb = std::max(report.loudnessShortfallDb, sound.shortfallDb);
    return report;
}

} // namespace sound
