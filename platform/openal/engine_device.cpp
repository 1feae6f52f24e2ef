// Engine devices: opened, watched and closed by their own engine thread.
#include "platform/openal/engine_device.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <string>
#include <vector>

#include "platform/openal/device_state.h"
#include "platform/openal/engine_setup.h"
#include "platform/openal/hrtf_datasets.h"
#include "platform/openal/output_layout.h"

namespace sound {
namespace {

// How long opening and closing may wait on the sound server. One that answers has a device open
// in 10-15 ms (0.4 s under valgrind), closed in a few; one that stopped answering would keep the
// engine waiting for ever, or half a minute.
constexpr std::chrono::milliseconds longestOpeningWait{5000};
constexpr std::chrono::milliseconds longestClosingWait{1000};

// A device clock moves by one mix of the engine at a time, every 10-33 ms; a server that has
// just taken a new stream may keep it waiting for a second or two. Within this of opening, a
// clock that has not moved yet is no sign of a lost server.
constexpr std::chrono::milliseconds freshDevice{250};
constexpr std::chrono::milliseconds clockPoll{10};

// The device clock, where the engine has one (ALC_SOFT_device_clock, 1.19 on); 0 otherwise.
ALCint64SOFT ReadClock(DeviceState& state)
{
    ALCint64SOFT clockNs = 0;
    if (alcIsExtensionPresent(state.device, "ALC_SOFT_device_clock") == ALC_TRUE)
        alcGetInteger64vSOFT(state.device, ALC_DEVICE_CLOCK_SOFT, 1, &clockNs);
    return clockNs;
}

// Reads the clock, and notes when it last changed.
void ObserveClock(DeviceState& state)
{
    const ALCint64SOFT now = ReadClock(state);
    if (now != state.clockNs) {
        state.clockNs = now;
        state.clockSince = Clock::now();
    }
}

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
        PrepareOutputQuestion();
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

} // namespace

bool OpenPlayback(DeviceState& state, Deadline deadline)
{
    ALCdevice* device = alcOpenDevice(nullptr);
    EndWorkIfGivenUp();
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
    const std::vector<ALCint> attributes = Attributes(state, state.rendering, dataset, 0);
    ALCcontext* context = alcCreateContext(state.device, attributes.data());
    EndWorkIfGivenUp();
    state.context = context;
    if (!state.context || !MakeContextCurrent(state))
        return false;
    alcGetIntegerv(state.device, ALC_FREQUENCY, 1, &state.rateHz);
    state.openedAt = Clock::now();
    state.clockAtOpenNs = ReadClock(state);
    ObserveClock(state);
    // The layout the engine picked from the output (or from the user's "channels" setting),
    // while HRTF, which makes any output stereo, is still off.
    state.outputChannels = EngineOutputChannels(state.device);
    if (!state.outputChannels) {
        const ChannelsAnswer answer = OutputChannels(deadline);
        if (!answer.answered)
            return false;
        state.outputChannels = answer.channels;
    }
    return true;
}

bool OpenLoopback(DeviceState& state, int rateHz, int channels)
{
    state.loopback = true;
    state.channels = channels;
    state.rateHz = rateHz;
    if (channels != 1 && channels != 2)
        return false;
    state.device = alcLoopbackOpenDeviceSOFT(nullptr);
    if (!state.device ||
        !alcIsRenderFormatSupportedSOFT(state.device, rateHz, channels == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT,
                                        ALC_SHORT_SOFT))
        return false;
    state.context = alcCreateContext(state.device, Attributes(state, state.rendering, -1, rateHz).data());
    return state.context && MakeContextCurrent(state);
}

void Close(DeviceState& state)
{
    if (state.context) {
        alcSetThreadContext(nullptr);
        alcDestroyContext(state.context);
        EndWorkIfGivenUp();
        state.context = nullptr;
    }
    if (state.device) {
        alcCloseDevice(state.device);
        state.device = nullptr;
    }
}

bool Connected(DeviceState& state)
{
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(state.device, ALC_CONNECTED, 1, &connected);
    return connected != ALC_FALSE;
}

bool Stalled(DeviceState& state, std::chrono::milliseconds limit)
{
    if (state.loopback)
        return false; // its clock moves only when asked to render
    ObserveClock(state);
    return Clock::now() - state.clockSince >= limit;
}

bool SeenPlaying(DeviceState& state, Deadline deadline)
{
    if (state.loopback)
        return Connected(state);
    const ALCint64SOFT first = ReadClock(state);
    if (first == state.clockAtOpenNs && Clock::now() - state.openedAt < freshDevice)
        return Connected(state);
    const Deadline giveUp = std::min(deadline, Clock::now() + longestStall);
    for (;;) {
        if (!Connected(state))
            return false;
        if (ReadClock(state) != first)
            return true;
        if (Clock::now() + clockPoll > giveUp)
            return false;
        std::this_thread::sleep_for(clockPoll);
    }
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

EngineDevice::EngineDevice(bool loopback)
    : loopback_(loopback)
    , state_(std::make_shared<DeviceState>())
{
}

EngineDevice::~EngineDevice()
{
    thread_.Run(DeadlineIn(longestClosingWait), [state = state_] { Close(*state); });
}

Deadline EngineDevice::DeadlineIn(std::chrono::milliseconds limit) const
{
    return loopback_ ? Deadline::max() : Clock::now() + limit;
}

std::shared_ptr<EngineDevice> EngineDevice::OpenDefault()
{
    PrepareEngineOnce();
    std::shared_ptr<EngineDevice> device(new EngineDevice(false));
    const Deadline deadline = device->DeadlineIn(longestOpeningWait);
    const std::optional<bool> opened =
        device->Call(deadline, [deadline](DeviceState& state) { return OpenPlayback(state, deadline); });
    return opened.value_or(false) ? device : nullptr;
}

std::shared_ptr<EngineDevice> EngineDevice::OpenLoopback(int rateHz, int channels)
{
    PrepareEngineOnce();
    std::shared_ptr<EngineDevice> device(new EngineDevice(true));
    const std::optional<bool> opened = device->Call(Deadline::max(), [rateHz, channels](DeviceState& state) {
        return sound::OpenLoopback(state, rateHz, channels);
    });
    return opened.value_or(false) ? device : nullptr;
}

} // namespace sound
