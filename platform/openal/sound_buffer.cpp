// Buffer descriptions checked, and buffers played by the engine: a buffer is an
// engine source playing an engine buffer, its 3D interface the same object.
#include "platform/openal/sound_buffer.h"

#include <AL/al.h>
#define AL_ALEXT_PROTOTYPES
#include <AL/alext.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/openal/counted.h"

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

bool Finite(D3DVALUE value)
{
    return std::isfinite(value);
}

// A sound buffer: its samples live here, where Lock hands them out, and are
// copied into the engine at Unlock. The 3D interface is the same object, so
// that it holds a reference to the buffer.
class SoundBuffer final : public IDirectSoundBuffer, public IDirectSound3DBuffer, public Counted {
public:
    SoundBuffer(std::shared_ptr<Output> output, const BufferRequest& request)
        : output_(std::move(output))
        , is3D_((request.flags & DSBCAPS_CTRL3D) != 0)
        , format_(request.format)
        , samples_(request.bytes, request.format.wBitsPerSample == 8 ? BYTE{0x80} : BYTE{0})
    {
    }

    // Creates the engine's source and buffer; false when the engine refuses.
    bool Start()
    {
        const auto lock = LockEngine();
        if (!output_->MakeCurrent())
            return false;
        alGetError();
        alGenSources(1, &source_);
        if (alGetError() != AL_NO_ERROR)
            return false;
        alGenBuffers(1, &engineBuffer_);
        if (alGetError() != AL_NO_ERROR)
            return false;
        if (!is3D_) {
            // Played as they are, at the listener.
            alSourcei(source_, AL_SOURCE_RELATIVE, AL_TRUE);
            alSourcei(source_, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
            alSourcef(source_, AL_ROLLOFF_FACTOR, 0.0f);
        }
        return Upload() && (!is3D_ || Apply3D());
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
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        if (!output_->MakeCurrent()) {
            *status = DSBSTATUS_BUFFERLOST;
            return DS_OK;
        }
        ALint state = AL_INITIAL;
        alGetSourcei(source_, AL_SOURCE_STATE, &state);
        if (state == AL_PLAYING)
            *status = DSBSTATUS_PLAYING | (looping_ ? DSBSTATUS_LOOPING : 0);
        if (!output_->Connected())
            *status |= DSBSTATUS_BUFFERLOST;
        return DS_OK;
    }

    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* region1, LPDWORD length1, LPVOID* region2, LPDWORD length2,
                 DWORD flags) override
    {
        if (!region1 || !length1 || (flags & ~(DSBLOCK_FROMWRITECURSOR | DSBLOCK_ENTIREBUFFER)) != 0)
            return DSERR_INVALIDPARAM;
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        if (locked_)
            return DSERR_INVALIDCALL; // one region at a time
        const auto size = static_cast<DWORD>(samples_.size());
        if (flags & DSBLOCK_ENTIREBUFFER)
            bytes = size;
        if (flags & DSBLOCK_FROMWRITECURSOR)
            offset = PlayOffsetBytes();
        if (offset >= size || bytes == 0 || bytes > size)
            return DSERR_INVALIDPARAM;

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
    {
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        // Only the regions the last Lock handed out, and at most their lengths.
        const bool handedOut = locked_ && region1 == lockedRegion1_ && length1 <= lockedLength1_ &&
                               (length2 == 0 || (region2 == lockedRegion2_ && length2 <= lockedLength2_));
        if (!handedOut)
            return DSERR_INVALIDPARAM;
        locked_ = false;
        if (!output_->MakeCurrent())
            return DSERR_BUFFERLOST;
        return Upload() ? DS_OK : DSERR_GENERIC;
    }

    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override
    {
        if (reserved != 0 || priority != 0 || (flags & ~DSBPLAY_LOOPING) != 0)
            return DSERR_INVALIDPARAM;
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        if (!output_->Connected() || !output_->MakeCurrent())
            return DSERR_BUFFERLOST;
        looping_ = (flags & DSBPLAY_LOOPING) != 0;
        alGetError();
        alSourcei(source_, AL_LOOPING, looping_ ? AL_TRUE : AL_FALSE);
        ALint state = AL_INITIAL;
        alGetSourcei(source_, AL_SOURCE_STATE, &state);
        if (state != AL_PLAYING)
            alSourcePlay(source_);
        return alGetError() == AL_NO_ERROR ? DS_OK : DSERR_GENERIC;
    }

    HRESULT Stop() override
    {
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        if (!output_->MakeCurrent())
            return DSERR_BUFFERLOST;
        // Stopping keeps the position, so that the next Play goes on from it.
        alSourcePause(source_);
        return DS_OK;
    }

    // IDirectSound3DBuffer
    HRESULT SetMaxDistance(D3DVALUE distance, DWORD apply) override
    {
        return Set3D(apply, Finite(distance) && distance > 0.0f, [&] { maxDistance_ = distance; });
    }

    HRESULT SetMinDistance(D3DVALUE distance, DWORD apply) override
    {
        return Set3D(apply, Finite(distance) && distance > 0.0f, [&] { minDistance_ = distance; });
    }

    HRESULT SetMode(DWORD mode, DWORD apply) override
    {
        return Set3D(apply, mode == DS3DMODE_NORMAL || mode == DS3DMODE_HEADRELATIVE || mode == DS3DMODE_DISABLE,
                     [&] { mode_ = mode; });
    }

    HRESULT SetPosition(D3DVALUE x, D3DVALUE y, D3DVALUE z, DWORD apply) override
    {
        return Set3D(apply, Finite(x) && Finite(y) && Finite(z), [&] {
            x_ = x;
            y_ = y;
            z_ = z;
        });
    }

    Output* EngineOutput() const { return output_.get(); }

private:
    // Runs one 3D setter: checks, stores, and hands the whole 3D state to the engine.
    template <typename Store>
    HRESULT Set3D(DWORD apply, bool valid, Store store)
    {
        if (apply == DS3D_DEFERRED)
            return DSERR_UNSUPPORTED; // deferred settings need a listener to commit them, which the layer lacks
        if (apply != DS3D_IMMEDIATE || !valid)
            return DSERR_INVALIDPARAM;
        const auto lock = LockEngine();
        if (!output_)
            return DSERR_INVALIDCALL;
        store();
        if (!output_->MakeCurrent())
            return DSERR_BUFFERLOST;
        return Apply3D() ? DS_OK : DSERR_GENERIC;
    }

    // The platform's coordinates are left-handed with +z ahead; the engine's are
    // right-handed with -z ahead. Inside the minimum distance the gain is 1,
    // beyond it falls as the inverse of the distance, and past the maximum no further.
    bool Apply3D()
    {
        alGetError();
        const bool disabled = mode_ == DS3DMODE_DISABLE;
        alSourcei(source_, AL_SOURCE_RELATIVE, mode_ == DS3DMODE_NORMAL ? AL_FALSE : AL_TRUE);
        if (disabled)
            alSource3f(source_, AL_POSITION, 0.0f, 0.0f, 0.0f);
        else
            alSource3f(source_, AL_POSITION, x_, y_, -z_);
        alSourcef(source_, AL_REFERENCE_DISTANCE, minDistance_);
        alSourcef(source_, AL_MAX_DISTANCE, std::max(minDistance_, maxDistance_));
        alSourcef(source_, AL_ROLLOFF_FACTOR, 1.0f);
        return alGetError() == AL_NO_ERROR;
    }

    // Copies the samples into the engine. The engine cannot change a buffer a
    // source holds, so the source lets go of it and takes it back where it was.
    bool Upload()
    {
        alGetError();
        ALint state = AL_INITIAL;
        ALint offset = 0;
        alGetSourcei(source_, AL_SOURCE_STATE, &state);
        alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
        alSourceStop(source_);
        alSourcei(source_, AL_BUFFER, 0);
        const ALenum engineFormat = format_.nChannels == 1
                                        ? (format_.wBitsPerSample == 8 ? AL_FORMAT_MONO8 : AL_FORMAT_MONO16)
                                        : (format_.wBitsPerSample == 8 ? AL_FORMAT_STEREO8 : AL_FORMAT_STEREO16);
        alBufferData(engineBuffer_, engineFormat, samples_.data(), static_cast<ALsizei>(samples_.size()),
                     static_cast<ALsizei>(format_.nSamplesPerSec));
        alSourcei(source_, AL_BUFFER, static_cast<ALint>(engineBuffer_));
        if (state == AL_PLAYING || state == AL_PAUSED)
            alSourcei(source_, AL_SAMPLE_OFFSET, offset);
        if (state == AL_PLAYING)
            alSourcePlay(source_);
        return alGetError() == AL_NO_ERROR;
    }

    DWORD PlayOffsetBytes()
    {
        if (!output_->MakeCurrent())
            return 0;
        ALint offset = 0;
        alGetSourcei(source_, AL_BYTE_OFFSET, &offset);
        return offset > 0 ? static_cast<DWORD>(offset) % static_cast<DWORD>(samples_.size()) : 0;
    }

    // The last reference is gone: playback ends and the engine's objects go.
    void Retire() override
    {
        std::shared_ptr<Output> output;
        {
            const auto lock = LockEngine();
            output.swap(output_);
            // A device the engine stopped answering for keeps its objects until the process ends.
            if (output->MakeCurrent()) {
                alSourceStop(source_);
                alDeleteSources(1, &source_);
                alDeleteBuffers(1, &engineBuffer_);
            }
            std::vector<BYTE>().swap(samples_);
        }
    }

    std::shared_ptr<Output> output_; // null once released
    const bool is3D_;
    const WAVEFORMATEX format_;
    std::vector<BYTE> samples_;
    ALuint source_ = 0;
    ALuint engineBuffer_ = 0;
    bool looping_ = false;

    bool locked_ = false;
    BYTE* lockedRegion1_ = nullptr;
    DWORD lockedLength1_ = 0;
    BYTE* lockedRegion2_ = nullptr;
    DWORD lockedLength2_ = 0;

    DWORD mode_ = DS3DMODE_NORMAL;
    D3DVALUE x_ = 0.0f;
    D3DVALUE y_ = 0.0f;
    D3DVALUE z_ = 0.0f;
    D3DVALUE minDistance_ = DS3D_DEFAULTMINDISTANCE;
    D3DVALUE maxDistance_ = DS3D_DEFAULTMAXDISTANCE;
};

} // namespace

IDirectSoundBuffer* NewSoundBuffer(std::shared_ptr<Output> output, const BufferRequest& request)
{
    auto* created = new SoundBuffer(std::move(output), request);
    if (!created->Start()) {
        created->Release();
        return nullptr;
    }
    return created;
}

} // namespace sound
