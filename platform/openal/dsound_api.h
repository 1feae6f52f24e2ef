// The DirectSound interfaces, records and constants that the program uses, with
// the names and values that Windows gives them: what the program is compiled
// against wherever it plays through this layer. The base types, GUIDs and wave
// formats are the system's own on Windows, our stand-ins elsewhere.
#pragma once

#ifdef _WIN32
#include "platform/windows/windows_types.h"
#else
#include "platform/posix/windows_types.h"
#endif

// Status codes of the sound service.
constexpr HRESULT DS_OK = S_OK;
constexpr HRESULT DS_NO_VIRTUALIZATION = static_cast<HRESULT>(0x0878000Au);
constexpr HRESULT DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001Eu);
constexpr HRESULT DSERR_INVALIDPARAM = E_INVALIDARG;
constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032u);
constexpr HRESULT DSERR_GENERIC = E_FAIL;
constexpr HRESULT DSERR_PRIOLEVELNEEDED = static_cast<HRESULT>(0x88780046u);
constexpr HRESULT DSERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064u);
constexpr HRESULT DSERR_UNSUPPORTED = E_NOTIMPL;
constexpr HRESULT DSERR_NODRIVER = static_cast<HRESULT>(0x88780078u);
constexpr HRESULT DSERR_NOAGGREGATION = CLASS_E_NOAGGREGATION;
constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096u);

// Cooperative levels.
constexpr DWORD DSSCL_NORMAL = 0x1;
constexpr DWORD DSSCL_WRITEPRIMARY = 0x4;

// Buffer capabilities.
constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x00000001;
constexpr DWORD DSBCAPS_STATIC = 0x00000002;
constexpr DWORD DSBCAPS_LOCHARDWARE = 0x00000004;
constexpr DWORD DSBCAPS_LOCSOFTWARE = 0x00000008;
constexpr DWORD DSBCAPS_CTRL3D = 0x00000010;
constexpr DWORD DSBCAPS_CTRLFREQUENCY = 0x00000020;
constexpr DWORD DSBCAPS_CTRLPAN = 0x00000040;
constexpr DWORD DSBCAPS_CTRLVOLUME = 0x00000080;
constexpr DWORD DSBCAPS_CTRLPOSITIONNOTIFY = 0x00000100;
constexpr DWORD DSBCAPS_CTRLFX = 0x00000200;
constexpr DWORD DSBCAPS_STICKYFOCUS = 0x00004000;
constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x00008000;
constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x00010000;
constexpr DWORD DSBCAPS_MUTE3DATMAXDISTANCE = 0x00020000;
constexpr DWORD DSBCAPS_LOCDEFER = 0x00040000;
constexpr DWORD DSBCAPS_TRUEPLAYPOSITION = 0x00080000;

constexpr DWORD DSBSIZE_MIN = 4;
constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;
constexpr DWORD DSBFREQUENCY_MIN = 100;
constexpr DWORD DSBFREQUENCY_MAX = 200000;

constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x1;
constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x2;

constexpr DWORD DSBPLAY_LOOPING = 0x1;

constexpr DWORD DSBSTATUS_PLAYING = 0x1;
constexpr DWORD DSBSTATUS_BUFFERLOST = 0x2;
constexpr DWORD DSBSTATUS_LOOPING = 0x4;

// 3D settings.
using D3DVALUE = float;
constexpr DWORD DS3D_IMMEDIATE = 0x0;
constexpr DWORD DS3D_DEFERRED = 0x1;
constexpr DWORD DS3DMODE_NORMAL = 0x0;
constexpr DWORD DS3DMODE_HEADRELATIVE = 0x1;
constexpr DWORD DS3DMODE_DISABLE = 0x2;
constexpr D3DVALUE DS3D_DEFAULTMINDISTANCE = 1.0f;
constexpr D3DVALUE DS3D_DEFAULTMAXDISTANCE = 1000000000.0f;

// The software 3D algorithms a buffer can ask for.
extern const GUID DS3DALG_NO_VIRTUALIZATION;
extern const GUID DS3DALG_HRTF_FULL;
extern const GUID DS3DALG_HRTF_LIGHT;
#define DS3DALG_DEFAULT GUID_NULL

// IID_IUnknown is Windows' own on Windows (uuid.lib).
extern const IID IID_IUnknown;
extern const IID IID_IDirectSound;
extern const IID IID_IDirectSoundBuffer;
extern const IID IID_IDirectSound3DBuffer;

// The buffer description; the form without guid3DAlgorithm is DSBUFFERDESC1.
struct DSBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    LPWAVEFORMATEX lpwfxFormat;
    GUID guid3DAlgorithm;
};
struct DSBUFFERDESC1 {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    LPWAVEFORMATEX lpwfxFormat;
};
using LPDSBUFFERDESC = DSBUFFERDESC*;
using LPCDSBUFFERDESC = const DSBUFFERDESC*;

// Interfaces are reference counted; they are given up with Release, never deleted.
// The program reaches them through these declarations only: COM's own IUnknown
// (Windows' unknwn.h) is never part of the build.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, LPVOID* object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IDirectSoundBuffer : IUnknown {
    virtual HRESULT GetStatus(LPDWORD status) = 0;
    virtual HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* region1, LPDWORD length1, LPVOID* region2,
                         LPDWORD length2, DWORD flags) = 0;
    virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Unlock(LPVOID region1, DWORD length1, LPVOID region2, DWORD length2) = 0;

protected:
    ~IDirectSoundBuffer() = default;
};
using LPDIRECTSOUNDBUFFER = IDirectSoundBuffer*;

struct IDirectSound : IUnknown {
    virtual HRESULT CreateSoundBuffer(LPCDSBUFFERDESC description, LPDIRECTSOUNDBUFFER* buffer,
                                      LPUNKNOWN outer) = 0;
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;

protected:
    ~IDirectSound() = default;
};
using LPDIRECTSOUND = IDirectSound*;

struct IDirectSound3DBuffer : IUnknown {
    virtual HRESULT SetMaxDistance(D3DVALUE distance, DWORD apply) = 0;
    virtual HRESULT SetMinDistance(D3DVALUE distance, DWORD apply) = 0;
    virtual HRESULT SetMode(DWORD mode, DWORD apply) = 0;
    virtual HRESULT SetPosition(D3DVALUE x, D3DVALUE y, D3DVALUE z, DWORD apply) = 0;

protected:
    ~IDirectSound3DBuffer() = default;
};
using LPDIRECTSOUND3DBUFFER = IDirectSound3DBuffer*;

// Opens a playback device: the default one when device is null.
HRESULT DirectSoundCreate(LPCGUID device, LPDIRECTSOUND* directSound, LPUNKNOWN outer);
