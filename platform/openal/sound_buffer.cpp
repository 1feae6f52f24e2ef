// Buffer descriptions checked, and buffers played by the engine: a buffer is an engine source
// playing an engine buffer, its 3D interface the same object.
#include "platform/openal/sound_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/openal/counted.h"
#include "platform/openal/device_state.h"
#include "platform/openal/loudness_match.h"

namespace sound {
namespace {

constexpr DWORD knownBufferFlags =
    DSBCAPS_PRIMARYBUFFER | DSBCAPS_STATIC | DSBCAPS_LOCHARDWARE | DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRL3D |
    DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_CTRLFX |
    DSBCAPS_STICKYFOCUS | DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_MUTE3DATMAXDISTANCE |
    DSBCAPS_LOCDEFER | DSBCAPS_TRUEPLAYPOSITION;

HRESULT CheckFormat(const WAVEFORMATEX* format, WAVEFORMATEX& accepted)
{
    if (!format)
        return DSERR_INVALIDPARAM;
    std::memcpy(&accepted, format, sizeof accepted);
    if (accepted.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (accepted.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
            return DSERR_BADFORMAT;
        WAVEFORMATEXTENSIBLE extensible;
        std::memcpy(&extensible, format, sizeof extensible);
        const WORD validBits = extensible.Samples.wValidBitsPerSample;
        if (!(extensible.SubFormat == KSDATAFORMAT_SUBTYPE_PCM) || (validBits != 0 && validBits != accepted.wBitsPerSample))
            return DSERR_BADFORMAT;
    } else if (accepted.wFormatTag != WAVE_FORMAT_PCM) {
        return DSERR_BADFORMAT;
    }
    const bool supported = (accepted.nChannels == 1 || accepted.nChannels == 2) &&
                           (accepted.wBitsPerSample == 8 || accepted.wBitsPerSample == 16) &&
                           accepted.nSamplesPerSec >= DSBFREQUENCY_MIN && accepted.nSamplesPerSec <= DSBFREQUENCY_MAX;
    if (!supported)
        return DSERR_BADFORMAT;
    const DWORD blockAlign = accepted.nChannels * accepted.wBitsPerSample / 8u;
    if (accepted.nBlockAlign != blockAlign || accepted.nAvgBytesPerSec != accepted.nSamplesPerSec * blockAlign)
        return DSERR_BADFORMAT;
    return DS_OK;
}

HRESULT CheckAlgorithm(const GUID& algorithm, Rendering& rendering)
{
    if (algorithm == DS3DALG_DEFAULT)
        rendering = Rendering::Automatic;
    else if (algorithm == DS3DALG_NO_VIRTUALIZATION)
        rendering = Rendering::Panning;
    else if (algorithm == DS3DALG_HRTF_FULL)
        rendering = Rendering::HrtfFull;
    else if (algorithm == DS3DALG_HRTF_LIGHT)
        rendering = Rendering::HrtfLight;
    else
        return DSERR_INVALIDPARAM;
    return DS_OK;
}

} // namespace

HRESULT CheckDescription(const DSBUFFERDESC* description, BufferRequest& request)
{
    if (!description)
        return DSERR_INVALIDPARAM;
    const DWORD size = description->dwSize;
    if (size != sizeof(DSBUFFERDESC) && size != sizeof(DSBUFFERDESC1))
        return DSERR_INVALIDPARAM;
    DSBUFFERDESC copy{};
    std::memcpy(&copy, description, size);

    const DWORD flags = copy.dwFlags;
    if ((flags & ~knownBufferFlags) != 0 || copy.dwReserved != 0)
        return DSERR_INVALIDPARAM;
    if ((flags & DSBCAPS_LOCHARDWARE) && (flags & DSBCAPS_LOCSOFTWARE))
        return DSERR_INVALIDPARAM;
    if ((flags & DSBCAPS_CTRL3D) && (flags & DSBCAPS_CTRLPAN))
        return DSERR_INVALIDPARAM;
    if (flags & DSBCAPS_PRIMARYBUFFER)
        return DSERR_UNSUPPORTED; // the layer mixes for the program; it has no primary buffer to hand out
    if (flags & DSBCAPS_LOCHARDWARE)
        return DSERR_CONTROLUNAVAIL; // every buffer is mixed in software

    if (const HRESULT status = CheckFormat(copy.lpwfxFormat, request.format); FAILED(status))
        return status;
    if ((flags & DSBCAPS_CTRL3D) && request.format.nChannels != 1)
        return DSERR_INVALIDPARAM;
    const DWORD bytes = copy.dwBufferBytes;
    if (bytes < DSBSIZE_MIN || bytes > DSBSIZE_MAX || bytes % request.format.nBlockAlign != 0)
        return DSERR_INVALIDPARAM;
    if (!(flags & DSBCAPS_CTRL3D) && !(copy.guid3DAlgorithm == DS3DALG_DEFAULT))
        return DSERR_INVALIDPARAM;
    if (const HRESULT status = CheckAlgorithm(copy.guid3DAlgorithm, request.rendering); FAILED(status))
        return status;

    request.flags = flags;
    request.bytes = bytes;
    return DS_OK;
}

namespace {

// A buffer's 3D settings, as the platform gives them.
struct Placement {
    DWORD mode = DS3DMODE_NORMAL;
    D3DVALUE x = 0.0f;
    D3DVALUE y = 0.0f;
    D3DVALUE z = 0.0f;
    D3DVALUE minDistance = DS3D_DEFAULTMINDISTANCE;
    D3DVALUE maxDistance = DS3D_DEFAULTMAXDISTANCE;
};

// The samples a new buffer holds: silence.
std::vector<BYTE> Silence(const BufferRequest& request)
{
    return std::vector<BYTE>(request.bytes, request.format.wBitsPerSample == 8 ? BYTE{0x80} : BYTE{0});
}

// What follows is work on the device's engine thread, its context current.

// Hands the 3D settings to the engine. The platform's coordinates are left-handed with +z
// ahead; the engine's are right-handed with -z ahead. Inside the minimum distance the gain is 1,
// beyond it falls as the inverse of the distance, and past the maximum no further.
bool Apply3D(ALuint source, const Placement& placement)
{
    alGetError();
    alSourcei(source, AL_SOURCE_RELATIVE, placement.mode == DS3DMODE_NORMAL ? AL_FALSE : AL_TRUE);
    if (placement.mode == DS3DMODE_DISABLE)
        alSource3f(source, AL_POSITION, 0.0f, 0.0f, 0.0f);
    else
        alSource3f(source, AL_POSITION, placement.x, placement.y, -placement.z);
    alSourcef(source, AL_REFERENCE_DISTANCE, placement.minDistance);
    alSourcef(source, AL_MAX_DISTANCE, std::max(placement.minDistance, placement.maxDistance));
    alSourcef(source, AL_ROLLOFF_FACTOR, 1.0f);
    return alGetError() == AL_NO_ERROR;
}

// Copies the samples into the engine. The engine cannot change a buffer a source holds, so the
// source lets go of it and takes it back where it was.
bool Upload(DeviceState& state, EngineSource engine, bool is3D, const WAVEFORMATEX& format, std::vector<BYTE> samples)
{
    alGetError();
    ALint sourceState = AL_INITIAL;
    ALint offset = 0;
    alGetSourcei(engine.source, AL_SOURCE_STATE, &sourceState);
    alGetSourcei(engine.source, AL_SAMPLE_OFFSET, &offset);
    alSourceStop(engine.source);
    alSourcei(engine.source, AL_BUFFER, 0);
    alBufferData(engine.buffer, EngineFormat(format), samples.data(), static_cast<ALsizei>(samples.size()),
                 static_cast<ALsizei>(format.nSamplesPerSec));
    alSourcei(engine.source, AL_BUFFER, static_cast<ALint>(engine.buffer));
    if (sourceState == AL_PLAYING || sourceState == AL_PAUSED)
        alSourcei(engine.source, AL_SAMPLE_OFFSET, offset);
    if (sourceState == AL_PLAYING)
        alSourcePlay(engine.source);
    if (alGetError() != AL_NO_ERROR)
        return false;
    if (is3D)
        NoteSound(state, engine.source, format, std::move(samples));
    return true;
}

void DeleteEngineSource(DeviceState& state, EngineSource engine)
{
    NoteSound(state, engine.source, {}, {});
    if (engine.source) {
        alSourceStop(engine.source);
        alDeleteSources(1, &engine.source);
    }
    if (engine.buffer)
        alDeleteBuffers(1, &engine.buffer);
}

// A sound buffer: its samples live here, where Lock hands them out, and are copied into the
// engine at Unlock. The 3D interface is the same object, so that it holds a reference to the
// buffer. Calls may come from several threads: the object's own state is guarded by its mutex,
// which is never held while a call waits for the engine thread.
class SoundBuffer final : public IDirectSoundBuffer, public IDirectSound3DBuffer, public Counted {
public:
    SoundBuffer(std::shared_ptr<EngineDevice> device, const BufferRequest& request, EngineSource engine)
        : device_(std::move(device))
        , engine_(engine)
        , is3D_((request.flags & DSBCAPS_CTRL3D) != 0)
        , format_(request.format)
        , samples_(Silence(request))
    {
    }

    // IUnknown
    HRESULT QueryInterface(REFIID iid, LPVOID* object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDirectSoundBuffer)
            return HandOut(static_cast<IDirectSoundBuffer*>(this), object);
        if (iid == IID_IDirectSound3DBuffer && is3D_)
            return HandOut(static_cast<IDirectSound3DBuffer*>(this), object);
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return DropReference(); }

    // IDirectSoundBuffer
    HRESULT GetStatus(LPDWORD status) override
    {
        if (!status)
            return DSERR_INVALIDPARAM;
        *status = 0;
        const auto seen = Call([source = engine_.source](DeviceState& state) {
            ALint sourceState = AL_INITIAL;
            alGetSourcei(source, AL_SOURCE_STATE, &sourceState);
            return std::pair{sourceState == AL_PLAYING, Connected(state)};
        });
        const auto [sourcePlaying, connected] = seen.value_or(std::pair{false, false}); // a lost engine: neither
        std::lock_guard lock(mutex_);
        if (sourcePlaying)
            *status = DSBSTATUS_PLAYING | (looping_ ? DSBSTATUS_LOOPING : 0);
        if (!connected)
            *status |= DSBSTATUS_BUFFERLOST;
        return DS_OK;
    }

    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* region1, LPDWORD length1, LPVOID* region2, LPDWORD length2,
                 DWORD flags) override
    {
        if (!region1 || !length1 || (flags & ~(DSBLOCK_FROMWRITECURSOR | DSBLOCK_ENTIREBUFFER)) != 0)
            return DSERR_INVALIDPARAM;
        const auto size = static_cast<DWORD>(samples_.size());
        if (flags & DSBLOCK_ENTIREBUFFER)
            bytes = size;
        if (flags & DSBLOCK_FROMWRITECURSOR)
            offset = PlayOffsetBytes();
        if (offset >= size || bytes == 0 || bytes > size)
            return DSERR_INVALIDPARAM;
        std::lock_guard lock(mutex_);
        if (locked_)
            return DSERR_INVALIDCALL; // one region at a time

        // A region that runs past the end continues at the start, when the caller takes a second one.
        const DWORD first = std::min(bytes, size - offset);
        const DWORD second = region2 && length2 ? bytes - first : 0;
        lockedRegion1_ = samples_.data() + offset;
        lockedLength1_ = first;
        lockedRegion2_ = second ? samples_.data() : nullptr;
        lockedLength2_ = second;
        locked_ = true;
        *region1 = lockedRegion1_;
        *length1 = lockedLength1_;
        if (region2)
            *region2 = lockedRegion2_;
        if (length2)
            *length2 = lockedLength2_;
        return DS_OK;
    }

    HRESULT Unlock(LPVOID region1, DWORD length1, LPVOID region2, DWORD length2) override
    try {
        std::vector<BYTE> samples;
        {
            std::lock_guard lock(mutex_);
            // Only the regions the last Lock handed out, and at most their lengths.
            const bool handedOut = locked_ && region1 == lockedRegion1_ && length1 <= lockedLength1_ &&
                                   (length2 == 0 || (region2 == lockedRegion2_ && length2 <= lockedLength2_));
            if (!handedOut)
                return DSERR_INVALIDPARAM;
            locked_ = false;
            samples = samples_;
        }
        const auto uploaded = Call([engine = engine_, is3D = is3D_, format = format_,
                                    samples = std::move(samples)](DeviceState& state) mutable {
            return Upload(state, engine, is3D, format, std::move(samples));
        });
        if (!uploaded)
            return DSERR_BUFFERLOST;
        return *uploaded ? DS_OK : DSERR_GENERIC;
    } catch (const std::bad_alloc&) {
        return DSERR_OUTOFMEMORY;
    }

    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override
    {
        if (reserved != 0 || priority != 0 || (flags & ~DSBPLAY_LOOPING) != 0)
            return DSERR_INVALIDPARAM;
        const bool looping = (flags & DSBPLAY_LOOPING) != 0;
        const auto played = Call([source = engine_.source, looping](DeviceState& state) {
            if (!Connected(state))
                return DSERR_BUFFERLOST;
            alGetError();
            alSourcei(source, AL_LOOPING, looping ? AL_TRUE : AL_FALSE);
            ALint sourceState = AL_INITIAL;
            alGetSourcei(source, AL_SOURCE_STATE, &sourceState);
            if (sourceState != AL_PLAYING)
                alSourcePlay(source);
            return alGetError() == AL_NO_ERROR ? DS_OK : DSERR_GENERIC;
        });
        if (!played)
            return DSERR_BUFFERLOST;
        if (SUCCEEDED(*played)) {
            std::lock_guard lock(mutex_);
            looping_ = looping;
        }
        return *played;
    }

    HRESULT Stop() override
    {
        // Stopping keeps the position, so that the next Play goes on from it.
        const auto stopped = Call([source = engine_.source](DeviceState&) {
            alSourcePause(source);
            return true;
        });
        return stopped ? DS_OK : DSERR_BUFFERLOST;
    }

    // IDirectSound3DBuffer
    HRESULT SetMaxDistance(D3DVALUE distance, DWORD apply) override
    {
        return Set3D(apply, std::isfinite(distance) && distance > 0.0f, [&](Placement& p) { p.maxDistance = distance; });
    }

    HRESULT SetMinDistance(D3DVALUE distance, DWORD apply) override
    {
        return Set3D(apply, std::isfinite(distance) && distance > 0.0f, [&](Placement& p) { p.minDistance = distance; });
    }

    HRESULT SetMode(DWORD mode, DWORD apply) override
    {
        return Set3D(apply, mode == DS3DMODE_NORMAL || mode == DS3DMODE_HEADRELATIVE || mode == DS3DMODE_DISABLE,
                     [&](Placement& p) { p.mode = mode; });
    }

    HRESULT SetPosition(D3DVALUE x, D3DVALUE y, D3DVALUE z, DWORD apply) override
    {
        return Set3D(apply, std::isfinite(x) && std::isfinite(y) && std::isfinite(z), [&](Placement& p) {
            p.x = x;
            p.y = y;
            p.z = z;
        });
    }

private:
    // None of a buffer's work waits on the sound server: it runs to its end.
    template <typename Work>
    auto Call(Work work) -> std::optional<std::invoke_result_t<Work&, DeviceState&>>
    {
        return device_->Call(std::nullopt, std::move(work));
    }

    // Runs one 3D setter: checks, stores, and hands the whole 3D state to the engine.
    template <typename Store>
    HRESULT Set3D(DWORD apply, bool valid, Store store)
    {
        if (apply == DS3D_DEFERRED)
            return DSERR_UNSUPPORTED; // deferred settings need a listener to commit them, which the layer lacks
        if (apply != DS3D_IMMEDIATE || !valid)
            return DSERR_INVALIDPARAM;
        // Posted in the order stored, to take effect in order with the buffer's other calls;
        // nobody waits for it.
        std::lock_guard lock(mutex_);
        store(placement_);
        const bool posted =
            device_->Post([source = engine_.source, placement = placement_](DeviceState&) { Apply3D(source, placement); });
        return posted ? DS_OK : DSERR_BUFFERLOST;
    }

    DWORD PlayOffsetBytes()
    {
        const auto offset = Call([source = engine_.source](DeviceState&) {
            ALint bytes = 0;
            alGetSourcei(source, AL_BYTE_OFFSET, &bytes);
            return bytes;
        });
        return offset && *offset > 0 ? static_cast<DWORD>(*offset) % static_cast<DWORD>(samples_.size()) : 0;
    }

    // The last reference is gone: playback ends and the engine's objects go.
    void Retire() override
    {
        device_->Post([engine = engine_](DeviceState& state) { DeleteEngineSource(state, engine); });
    }

    const std::shared_ptr<EngineDevice> device_;
    const EngineSource engine_;
    const bool is3D_;
    const WAVEFORMATEX format_;

    std::mutex mutex_; // guards what follows
    std::vector<BYTE> samples_;
    bool looping_ = false;
    bool locked_ = false;
    BYTE* lockedRegion1_ = nullptr;
    DWORD lockedLength1_ = 0;
    BYTE* lockedRegion2_ = nullptr;
    DWORD lockedLength2_ = 0;
    Placement placement_;
};

} // namespace

std::optional<EngineSource> CreateEngineSource(DeviceState& state, const BufferRequest& request)
{
    EngineSource engine;
    alGetError();
    alGenSources(1, &engine.source);
    if (alGetError() != AL_NO_ERROR)
        return std::nullopt;
    alGenBuffers(1, &engine.buffer);
    if (alGetError() != AL_NO_ERROR) {
        engine.buffer = 0;
        DeleteEngineSource(state, engine);
        return std::nullopt;
    }
    const bool is3D = (request.flags & DSBCAPS_CTRL3D) != 0;
    if (!is3D) {
        // Played as they are, at the listener.
        alSourcei(engine.source, AL_SOURCE_RELATIVE, AL_TRUE);
        alSourcei(engine.source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        alSourcef(engine.source, AL_ROLLOFF_FACTOR, 0.0f);
    }
    if (!Upload(state, engine, is3D, request.format, Silence(request)) || (is3D && !Apply3D(engine.source, Placement{}))) {
        DeleteEngineSource(state, engine);
        return std::nullopt;
    }
    return engine;
}

IDirectSoundBuffer* NewSoundBuffer(std::shared_ptr<EngineDevice> device, const BufferRequest& request,
                                   EngineSource engine)
{
    return new SoundBuffer(std::move(device), request, engine);
}

} // namespace sound
