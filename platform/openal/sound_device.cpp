// The DirectSound device on OpenAL Soft, the default playback device or a loopback one, and the
// buffers it creates.
#include "platform/openal/sound_device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/openal/counted.h"
#include "platform/openal/dsound_api.h"
#include "platform/openal/engine_device.h"
#include "platform/openal/loudness_match.h"
#include "platform/openal/sound_buffer.h"
#include "platform/openal/sound_server.h"

namespace sound {
namespace {

// The layer mixes for every window alike; it only checks that there is one. Windows' console
// has none under Wine, nor in a process started without a console window.
#ifdef _WIN32
constexpr bool windowRequired = false;
#else
constexpr bool windowRequired = true;
#endif

// Making a buffer asks the server first, and leaves the rest (a few resets, the loudness match:
// tens of milliseconds, a second or two under valgrind) this much of its time.
constexpr std::chrono::milliseconds creationAfterQuestion{2000};

// Whether the sound server still holds the device's stream, as far as anyone can tell: a server
// that takes the question and does not answer in time is frozen or gone, and so is one that no
// longer lists the stream it listed when the device opened, which loses the engine. With no
// server to ask, nothing says otherwise.
bool ServerHoldsOurStream(DeviceState& state)
{
    if (state.loopback)
        return true;
    const ServerAnswer answer = AskAboutOurStream(CurrentDeadline() - creationAfterQuestion);
    if (answer.answered && (answer.listed || !state.streamListed))
        return true;
    LoseEngine();
    return false;
}

// A playback device. Buffers share its engine device, so that it lives as long as any of
// them does.
class SoundDevice final : public IDirectSound, public Counted {
public:
    explicit SoundDevice(std::shared_ptr<EngineDevice> device)
        : device_(std::move(device))
    {
    }

    HRESULT QueryInterface(REFIID iid, LPVOID* object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDirectSound)
            return HandOut(static_cast<IDirectSound*>(this), object);
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return DropReference(); }

    HRESULT SetCooperativeLevel(HWND window, DWORD level) override
    {
        if ((windowRequired && !window) || level < DSSCL_NORMAL || level > DSSCL_WRITEPRIMARY)
            return DSERR_INVALIDPARAM;
        level_ = level;
        return DS_OK;
    }

    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC description, LPDIRECTSOUNDBUFFER* buffer, LPUNKNOWN outer) override
    try {
        if (!buffer)
            return DSERR_INVALIDPARAM;
        *buffer = nullptr;
        if (outer)
            return DSERR_NOAGGREGATION;
        BufferRequest request;
        if (const HRESULT status = CheckDescription(description, request); FAILED(status))
            return status;
        if (level_ == 0)
            return DSERR_PRIOLEVELNEEDED; // the cooperative level comes first

        // The engine renders HRTF per device: the whole device switches first. A device that
        // is gone, or whose server stopped answering, makes no buffer.
        struct Created {
            HRESULT status = DSERR_NODRIVER;
            EngineSource engine;
        };
        const std::optional<Created> created = device_->Call(creationLimit, [request](DeviceState& state) {
            if (!Connected(state) || !ServerHoldsOurStream(state))
                return Created{};
            const Selection selected =
                (request.flags & DSBCAPS_CTRL3D) ? Select(state, request.rendering) : Selection::Rendered;
            if (selected == Selection::NoDevice || !Connected(state))
                return Created{};
            MatchLoudness(state);
            const std::optional<EngineSource> engine = CreateEngineSource(state, request);
            if (!engine)
                return Created{.status = Connected(state) ? DSERR_OUTOFMEMORY : DSERR_NODRIVER, .engine = {}};
            return Created{.status = selected == Selection::Panned ? DS_NO_VIRTUALIZATION : DS_OK,
                           .engine = *engine};
        });
        if (!created)
            return DSERR_NODRIVER;
        if (SUCCEEDED(created->status))
            *buffer = NewSoundBuffer(device_, request, created->engine);
        return created->status;
    } catch (const std::bad_alloc&) {
        return DSERR_OUTOFMEMORY;
    }

    EngineDevice& Engine() const { return *device_; }

private:
    // The engine device closes once no buffer shares it any more.
    void Retire() override {}

    const std::shared_ptr<EngineDevice> device_;
    std::atomic<DWORD> level_{0};
};

HRESULT CreateDevice(std::shared_ptr<EngineDevice> device, LPDIRECTSOUND* directSound)
{
    if (!device)
        return DSERR_NODRIVER;
    *directSound = new SoundDevice(std::move(device));
    return DS_OK;
}

EngineDevice* EngineOf(LPDIRECTSOUND device)
{
    auto* ours = dynamic_cast<SoundDevice*>(device);
    return ours ? &ours->Engine() : nullptr;
}

} // namespace

HRESULT CreateLoopbackDevice(int rateHz, int channels, LPDIRECTSOUND* device)
{
    if (!device)
        return DSERR_INVALIDPARAM;
    *device = nullptr;
    return CreateDevice(EngineDevice::OpenLoopback(rateHz, channels), device);
}

bool RenderLoopback(LPDIRECTSOUND device, std::int16_t* samples, int frames)
{
    EngineDevice* engine = EngineOf(device);
    if (!engine || !samples || frames < 0)
        return false;
    // Rendered into memory of the work's own, as the work may outlive the wait.
    const auto rendered = engine->Call(
        std::nullopt, [frames](DeviceState& state) -> std::optional<std::vector<std::int16_t>> {
            if (!state.loopback)
                return std::nullopt;
            std::vector<std::int16_t> out(static_cast<std::size_t>(frames) *
                                          static_cast<std::size_t>(state.loopback->channels));
            alcRenderSamplesSOFT(state.device, out.data(), frames);
            return out;
        });
    if (!rendered || !*rendered)
        return false;
    std::ranges::copy(**rendered, samples);
    return true;
}

bool DescribeRendering(LPDIRECTSOUND device, RenderingReport& report)
{
    EngineDevice* engine = EngineOf(device);
    if (!engine)
        return false;
    const std::optional<RenderingReport> now =
        engine->Call(std::nullopt, [](DeviceState& state) { return Report(state); });
    if (!now)
        return false;
    report = *now;
    return true;
}

} // namespace sound

HRESULT DirectSoundCreate(LPCGUID device, LPDIRECTSOUND* directSound, LPUNKNOWN outer)
try {
    if (!directSound)
        return DSERR_INVALIDPARAM;
    *directSound = nullptr;
    if (outer)
        return DSERR_NOAGGREGATION;
    if (device && !(*device == GUID_NULL))
        return DSERR_NODRIVER; // only the default playback device is known
    return sound::CreateDevice(sound::EngineDevice::OpenDefault(), directSound);
} catch (const std::bad_alloc&) {
    return DSERR_OUTOFMEMORY;
}
