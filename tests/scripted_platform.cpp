// The scripted sound service, counter and threads (see scripted_platform.h).
// Threads are real: the stand-ins forward to the layer's own workings unless
// the script makes them fail.
#include "tests/scripted_platform.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/posix/kernel.h"

namespace scripted {
namespace {

std::mutex logMutex;
std::vector<std::string> callLog;
Observed observed;
Script script;
std::atomic<int> liveObjects{0};

void Log(std::string call)
{
    std::lock_guard lock(logMutex);
    callLog.push_back(std::move(call));
}

std::string Number(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

// Reference counting shared by the stand-ins; the object goes at the last Release.
template <typename Interface>
class Counted : public Interface {
public:
    explicit Counted(std::string name)
        : name_(std::move(name))
    {
        ++liveObjects;
    }
    virtual ~Counted() { --liveObjects; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

    ULONG AddRef() override { return ++references_; }
    ULONG Release() override
    {
        Log("Release " + name_);
        return Drop();
    }

    // Gives back a reference the stand-ins took among themselves, unlogged.
    ULONG Drop()
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::string name_;
    std::atomic<ULONG> references_{1};
};

class ScriptedBuffer;

// The 3D interface holds a reference to its buffer, as the real one does.
class Scripted3DBuffer final : public Counted<IDirectSound3DBuffer> {
public:
    explicit Scripted3DBuffer(ScriptedBuffer* buffer);
    ~Scripted3DBuffer() override;

    HRESULT QueryInterface(REFIID, LPVOID*) override { return E_NOINTERFACE; }
    HRESULT SetMaxDistance(D3DVALUE distance, DWORD apply) override
    {
        Log("SetMaxDistance " + Number(distance) + " " + std::to_string(apply));
        return DS_OK;
    }
    HRESULT SetMinDistance(D3DVALUE distance, DWORD apply) override
    {
        Log("SetMinDistance " + Number(distance) + " " + std::to_string(apply));
        return DS_OK;
    }
    HRESULT SetMode(DWORD mode, DWORD apply) override
    {
        Log("SetMode " + std::to_string(mode) + " " + std::to_string(apply));
        return DS_OK;
    }
    HRESULT SetPosition(D3DVALUE x, D3DVALUE y, D3DVALUE z, DWORD apply) override
    {
        Log("SetPosition " + std::to_string(apply));
        std::lock_guard lock(logMutex);
        observed.positions.push_back({x, y, z});
        return DS_OK;
    }

private:
    ScriptedBuffer* buffer_;
};

class ScriptedBuffer final : public Counted<IDirectSoundBuffer> {
public:
    explicit ScriptedBuffer(DWORD bytes)
        : Counted("buffer")
        , samples_(bytes, 0xEE)
    {
    }

    HRESULT QueryInterface(REFIID iid, LPVOID* object) override
    {
        Log("QueryInterface 3D");
        *object = nullptr;
        if (!(iid == IID_IDirectSound3DBuffer))
            return E_NOINTERFACE;
        if (FAILED(script.query3D))
            return script.query3D;
        *object = static_cast<IDirectSound3DBuffer*>(new Scripted3DBuffer(this));
        return DS_OK;
    }
    HRESULT GetStatus(LPDWORD status) override
    {
        *status = 0;
        return DS_OK;
    }
    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* region1, LPDWORD length1, LPVOID* region2, LPDWORD length2,
                 DWORD flags) override
    {
        Log("Lock " + std::to_string(offset) + " " + std::to_string(bytes) + " " + std::to_string(flags) +
            (region2 || length2 ? " second region" : ""));
        if (FAILED(script.lock))
            return script.lock;
        *region1 = samples_.data();
        *length1 = static_cast<DWORD>(samples_.size());
        return DS_OK;
    }
    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override
    {
        Log("Play " + std::to_string(reserved) + " " + std::to_string(priority) + " " + std::to_string(flags));
        return script.play;
    }
    HRESULT Stop() override { return DS_OK; }
    HRESULT Unlock(LPVOID region1, DWORD length1, LPVOID region2, DWORD length2) override
    {
        const bool asLocked = region1 == samples_.data() && length1 == samples_.size() && !region2 && length2 == 0;
        Log(std::string("Unlock") + (asLocked ? "" : " of another region"));
        std::lock_guard lock(logMutex);
        observed.unlockedBytes = samples_;
        return script.unlock;
    }

private:
    std::vector<unsigned char> samples_;
};

Scripted3DBuffer::Scripted3DBuffer(ScriptedBuffer* buffer)
    : Counted("3D buffer")
    , buffer_(buffer)
{
    buffer_->AddRef();
}

Scripted3DBuffer::~Scripted3DBuffer()
{
    buffer_->Drop();
}

class ScriptedDevice final : public Counted<IDirectSound> {
public:
    ScriptedDevice()
        : Counted("device")
    {
    }

    HRESULT QueryInterface(REFIID, LPVOID*) override { return E_NOINTERFACE; }
    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC description, LPDIRECTSOUNDBUFFER* buffer, LPUNKNOWN outer) override
    {
        Log(std::string("CreateSoundBuffer") + (outer ? " aggregated" : ""));
        {
            std::lock_guard lock(logMutex);
            observed.algorithm = description->guid3DAlgorithm;
            observed.descriptionSize = description->dwSize;
            observed.bufferBytes = description->dwBufferBytes;
        }
        if (FAILED(script.createBuffer))
            return script.createBuffer;
        *buffer = new ScriptedBuffer(description->dwBufferBytes);
        return script.createBuffer;
    }
    HRESULT SetCooperativeLevel(HWND window, DWORD level) override
    {
        Log("SetCooperativeLevel " + std::to_string(level));
        std::lock_guard lock(logMutex);
        observed.window = window;
        return script.cooperativeLevel;
    }
};

} // namespace

Script& CurrentScript()
{
    return script;
}

void Reset()
{
    std::lock_guard lock(logMutex);
    script = Script{};
    callLog.clear();
    observed = Observed{};
}

std::vector<std::string> Calls()
{
    std::lock_guard lock(logMutex);
    return callLog;
}

Observed Seen()
{
    std::lock_guard lock(logMutex);
    return observed;
}

int LiveObjects()
{
    return liveObjects;
}

} // namespace scripted

using scripted::script;

HRESULT DirectSoundCreate(LPCGUID device, LPDIRECTSOUND* directSound, LPUNKNOWN outer)
{
    scripted::Log(std::string("DirectSoundCreate") + (device ? " of a device" : "") + (outer ? " aggregated" : ""));
    if (FAILED(script.createDevice))
        return script.createDevice;
    *directSound = new scripted::ScriptedDevice;
    return DS_OK;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    if (script.frequencyFails)
        return FALSE;
    frequency->QuadPart = script.frequency;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    return script.counter ? script.counter(count) : kernel::CounterNow(count);
}

HWND GetConsoleWindow()
{
    return kernel::ConsoleWindow();
}

namespace {

// A thread's routine, held up first by the script's threadStarts.
struct HeldStart {
    unsigned(WINAPI* routine)(void*);
    void* argument;
    std::function<void()> hold;
};

unsigned WINAPI StartWhenLetGo(void* start)
{
    const std::unique_ptr<HeldStart> held(static_cast<HeldStart*>(start));
    held->hold();
    return held->routine(held->argument);
}

} // namespace

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(WINAPI* routine)(void*), void* argument,
                              unsigned flags, unsigned* threadId)
{
    scripted::Log("_beginthreadex " + std::to_string(stackSize) + " " + std::to_string(flags));
    if (script.threadCreationFails)
        return 0;
    if (script.threadStarts) {
        auto* held = new HeldStart{routine, argument, script.threadStarts};
        const std::uintptr_t handle = kernel::BeginThread(stackSize, StartWhenLetGo, held, flags, threadId);
        if (!handle)
            delete held;
        return handle;
    }
    return kernel::BeginThread(stackSize, routine, argument, flags, threadId);
}

void _endthreadex(unsigned exitCode)
{
    scripted::Log("_endthreadex " + std::to_string(exitCode));
    kernel::EndThread(exitCode);
}

BOOL SetThreadPriority(HANDLE thread, int priority)
{
    scripted::Log("SetThreadPriority " + std::to_string(priority));
    return script.priorityFails ? FALSE : kernel::SetPriority(thread, priority);
}

DWORD ResumeThread(HANDLE thread)
{
    scripted::Log("ResumeThread");
    return script.resumeFails ? static_cast<DWORD>(-1) : kernel::Resume(thread);
}

DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs)
{
    const DWORD result = kernel::Wait(object, timeoutMs);
    scripted::Log("WaitForSingleObject " + std::to_string(timeoutMs) +
                  (result == WAIT_OBJECT_0 ? " -> ended" : result == WAIT_TIMEOUT ? " -> timeout" : " -> failed"));
    return result;
}

BOOL CloseHandle(HANDLE object)
{
    scripted::Log("CloseHandle");
    return kernel::Close(object);
}

void Sleep(DWORD durationMs)
{
    scripted::Log("Sleep " + std::to_string(durationMs));
    if (script.pause)
        script.pause(durationMs);
    else
        kernel::Pause(durationMs);
}
