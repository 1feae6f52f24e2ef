// The DirectSound device on OpenAL Soft, the default playback device or a
// loopback one, and the buffers it creates.
#include <memory>

#include "platform/openal/counted.h"
#include "platform/openal/dsound_api.h"
#include "platform/openal/loopback.h"
#include "platform/openal/openal_output.h"
#include "platform/openal/sound_buffer.h"

namespace sound {
namespace {

// The layer mixes for every window alike; it only checks that there is one. Windows'
// console has none under Wine, nor in a process started without a console window.
#ifdef _WIN32
constexpr bool windowRequired = false;
#else
constexpr bool windowRequired = true;
#endif

// A playback device. Buffers share its engine output, so that it lives as long
// as any of them does.
class SoundDevice final : public IDirectSound, public Counted {
public:
    explicit SoundDevice(std::shared_ptr<Output> output)
        : output_(std::move(output))
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
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        level_ = level;
        return DS_OK;
    }

    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC description, LPDIRECTSOUNDBUFFER* buffer, LPUNKNOWN outer) override
    {
        if (!buffer)
            return DSERR_INVALIDPARAM;
        *buffer = nullptr;
        if (outer)
            return DSERR_NOAGGREGATION;
        BufferRequest request;
        if (const HRESULT status = CheckDescription(description, request); FAILED(status))
            return status;

        std::shared_ptr<Output> output;
        {
            const auto lock = LockEngine();
            if (!output_)
                return DSERR_INVALIDCALL;
            if (level_ == 0)
                return DSERR_PRIOLEVELNEEDED; // the cooperative level comes first
            output = output_;
        }
        // The engine renders HRTF per device: the whole device switches first.
        // A device that is gone, or whose server stopped answering, makes no buffer.
        const Selection selected =
            (request.flags & DSBCAPS_CTRL3D) ? output->Select(request.rendering) : Selection::Rendered;
        if (selected == Selection::NoDevice || !output->Connected())
            return DSERR_NODRIVER;

        IDirectSoundBuffer* created = NewSoundBuffer(output, request);
        if (!created)
            return output->Connected() ? DSERR_OUTOFMEMORY : DSERR_NODRIVER;
        *buffer = created;
        return selected == Selection::Panned ? DS_NO_VIRTUALIZATION : DS_OK;
    }

    Output* EngineOutput() const { return output_.get(); }

private:
    // The output closes once no buffer shares it any more.
    void Retire() override
    {
        std::shared_ptr<Output> output;
        const auto lock = LockEngine();
        output.swap(output_);
    }

    std::shared_ptr<Output> output_; // null once released
    DWORD level_ = 0;
};

HRESULT CreateDevice(std::shared_ptr<Output> output, LPDIRECTSOUND* device)
{
    if (!output)
        return DSERR_NODRIVER;
    *device = new SoundDevice(std::move(output));
    return DS_OK;
}

} // namespace

HRESULT CreateLoopbackDevice(int rateHz, int channels, LPDIRECTSOUND* device)
{
    if (!device)
        return DSERR_INVALIDPARAM;
    *device = nullptr;
    return CreateDevice(Output::OpenLoopback(rateHz, channels), device);
}

bool RenderLoopback(LPDIRECTSOUND device, std::int16_t* samples, int frames)
{
    auto* ours = dynamic_cast<SoundDevice*>(device);
    Output* output = ours ? ours->EngineOutput() : nullptr;
    return output && output->Render(samples, frames);
}

bool DescribeRendering(LPDIRECTSOUND device, RenderingReport& report)
{
    auto* ours = dynamic_cast<SoundDevice*>(device);
    Output* output = ours ? ours->EngineOutput() : nullptr;
    if (!output)
        return false;
    report = output->Report();
    return true;
}

} // namespace sound

HRESULT DirectSoundCreate(LPCGUID device, LPDIRECTSOUND* directSound, LPUNKNOWN outer)
{
    if (!directSound)
        return DSERR_INVALIDPARAM;
    *directSound = nullptr;
    if (outer)
        return DSERR_NOAGGREGATION;
    if (device && !(*device == GUID_NULL))
        return DSERR_NODRIVER; // only the default playback device is known
    return sound::CreateDevice(sound::Output::OpenDefault(), directSound);
}
