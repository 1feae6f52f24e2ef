// Engine devices: opened and closed by their own engine thread.
#include "platform/openal/engine_device.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/openal/engine_environment.h"
#include "platform/openal/hrtf_datasets.h"
#include "platform/openal/rendering.h"
#include "platform/openal/sound_server.h"

namespace sound {
namespace {

// Makes the context current on the engine thread alone: each device's thread has its own.
bool MakeContextCurrent(DeviceState& state)
{
    return alcSetThreadContext(state.context) == ALC_TRUE;
}

void PrepareEngineOnce()
{
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        PrepareEngine();
        PrepareServerQuestion();
    });
}

// The layout an engine from 1.22 on reports for its output (ALC_SOFT_output_mode): its channel
// count for each mode (mono; stereo plain, basic, UHJ and HRTF; quad; 5.1, 6.1, 7.1), with the
// names' values, which older engines' headers lack. Nothing from an older engine.
constexpr ALCenum outputModeQuery = 0x19AC;
constexpr std::pair<ALCint, int> outputModeChannels[] = {{0x1500, 1}, {0x1501, 2}, {0x19AE, 2}, {0x19AF, 2},
                                                         {0x19B2, 2}, {0x1503, 4}, {0x1504, 6}, {0x1505, 7},
                                                         {0x1506, 8}};
std::optional<int> EngineOutputChannels(ALCdevice* device)
{
    if (alcIsExtensionPresent(device, "ALC_SOFT_output_mode") != ALC_TRUE)
        return std::nullopt;
    ALCint mode = 0;
    alcGetIntegerv(device, outputModeQuery, 1, &mode);
    for (const auto& [known, channels] : outputModeChannels) {
        if (mode == known)
            return channels;
    }
    return std::nullopt;
}

// Opens the default playback device into state; false, leaving in state what Close must close,
// when it does not open (or is the engine's null device). Waits on the server.
bool OpenPlayback(DeviceState& state)
{
    ALCdevice* device = alcOpenDevice(nullptr);
    EndWorkIfLost();
    state.device = device;
    if (!state.device)
        return false;
    const ALCchar* name = alcGetString(state.device, ALC_ALL_DEVICES_SPECIFIER);
    if (!name || std::strcmp(name, "No Output") == 0)
        return false;
    // Should the engine turn HRTF on by itself (for headphones), it takes its own dataset,
    // named here: on Windows the engine lists ours first.
    const std::vector<std::string> listed = ListDatasets(state.device);
    const std::vector<std::string> own = DatasetCandidates(state.rendering, listed, 0, true);
    const int dataset = own.empty() ? -1 : DatasetIndex(listed, own.front());
    ALCcontext* context = alcCreateContext(state.device, Attributes(state, state.rendering, dataset, 0).data());
    EndWorkIfLost();
    state.context = context;
    if (!state.context || !MakeContextCurrent(state))
        return false;
    alcGetIntegerv(state.device, ALC_FREQUENCY, 1, &state.rateHz);
    // The layout the engine picked from the output (or from the user's "channels" setting),
    // while HRTF, which makes any output stereo, is still off; for an older engine, the layout
    // the server reports. Unanswered, the question leaves it to the engine, which takes stereo.
    const ServerAnswer answer = AskAboutOurStream(CurrentDeadline() - ownWaitMargin);
    state.streamListed = answer.listed;
    state.outputChannels = EngineOutputChannels(state.device);
    if (!state.outputChannels)
        state.outputChannels = answer.channels;
    return true;
}

} // namespace

bool OpenLoopback(DeviceState& state, int rateHz, LoopbackFormat format)
{
    state.loopback = format;
    state.rateHz = rateHz;
    if (format.channels != 1 && format.channels != 2)
        return false;
    state.device = alcLoopbackOpenDeviceSOFT(nullptr);
    if (!state.device ||
        !alcIsRenderFormatSupportedSOFT(state.device, rateHz, format.channels == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT,
                                        format.type))
        return false;
    state.context = alcCreateContext(state.device, Attributes(state, state.rendering, -1, rateHz).data());
    return state.context && MakeContextCurrent(state);
}

void Close(DeviceState& state)
{
    if (state.context) {
        alcSetThreadContext(nullptr);
        alcDestroyContext(state.context);
        EndWorkIfLost();
        state.context = nullptr;
    }
    if (state.device) {
        alcCloseDevice(state.device);
        state.device = nullptr;
    }
}

EngineDevice::EngineDevice()
    : state_(std::make_shared<DeviceState>())
{
}

EngineDevice::~EngineDevice()
{
    thread_.Run(closingLimit, [state = state_] { Close(*state); });
}

std::shared_ptr<EngineDevice> EngineDevice::OpenDefault()
{
    PrepareEngineOnce();
    std::shared_ptr<EngineDevice> device(new EngineDevice);
    const std::optional<bool> opened = device->Call(openingLimit, OpenPlayback);
    return opened.value_or(false) ? device : nullptr;
}

std::shared_ptr<EngineDevice> EngineDevice::OpenLoopback(int rateHz, int channels)
{
    PrepareEngineOnce();
    std::shared_ptr<EngineDevice> device(new EngineDevice);
    const std::optional<bool> opened = device->Call(openingLimit, [rateHz, channels](DeviceState& state) {
        return sound::OpenLoopback(state, rateHz, {.channels = channels, .type = ALC_SHORT_SOFT});
    });
    return opened.value_or(false) ? device : nullptr;
}

} // namespace sound
