// The orbit animator: a thread that circles the source around the listener's
// head, one turn every 2 pi seconds of counter time.
#include "orbit/orbit.h"

#include <cmath>
#include <cstdint>
#include <iostream>

double secondsPerCount = 0.0;
std::atomic<bool> keepOrbiting{true};
static_assert(sizeof(keepOrbiting) == 1 && std::atomic<bool>::is_always_lock_free,
              "keepOrbiting is a lock-free one-byte flag");
HANDLE orbitThread = nullptr;

namespace {

// The circle lies inside the minimum distance, so the attenuation stays the
// same all around it and only the direction changes.
constexpr double radiusUnits = 10.0;
constexpr D3DVALUE minDistanceUnits = 20.0f;
constexpr D3DVALUE maxDistanceUnits = 40.0f;
constexpr DWORD pauseMs = 66;
constexpr DWORD longestStopWaitMs = 1000;

} // namespace

bool StartOrbit(LPDIRECTSOUNDBUFFER buffer)
{
    // Created suspended, so that its priority is set before it first runs. It
    // gets a reference to the buffer of its own, which it gives up once it has
    // the 3D interface: however late it gets to run, even after the stop gave
    // up waiting for it and the main routine released the buffer, the buffer is
    // still there. A thread that will never run gives the reference back here.
    buffer->AddRef();
    orbitThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, OrbitThreadProc, buffer, CREATE_SUSPENDED, nullptr));
    if (!orbitThread) {
        buffer->Release();
        std::cerr << "Failed to create thread!\n\n";
        return false;
    }
    if (!SetThreadPriority(orbitThread, THREAD_PRIORITY_NORMAL)) {
        buffer->Release();
        std::cerr << "Failed to set thread priority!\n\n";
        return false;
    }
    if (ResumeThread(orbitThread) == static_cast<DWORD>(-1)) {
        buffer->Release();
        std::cerr << "Failed to resume thread!\n\n";
        return false;
    }
    return true;
}

void StopOrbit()
{
    // The animator notices at the end of its current pause. A thread that never
    // ran makes the wait last the whole second; process exit ends it.
    keepOrbiting = false;
    WaitForSingleObject(orbitThread, longestStopWaitMs);
    CloseHandle(orbitThread);
    orbitThread = nullptr;
}

unsigned WINAPI OrbitThreadProc(void* buffer)
{
    LPDIRECTSOUND3DBUFFER buffer3D = nullptr;
    unsigned result = 0;

    // The 3D interface holds a reference of its own: the one StartOrbit took
    // for this thread goes once the interface is asked for.
    auto* lentBuffer = static_cast<LPDIRECTSOUNDBUFFER>(buffer);
    const HRESULT obtained = lentBuffer->QueryInterface(IID_IDirectSound3DBuffer, reinterpret_cast<LPVOID*>(&buffer3D));
    lentBuffer->Release();
    if (FAILED(obtained)) {
        std::cerr << "Failed to get 3D interface!\n\n";
        result = 1;
    } else {
        buffer3D->SetMinDistance(minDistanceUnits, DS3D_IMMEDIATE);
        buffer3D->SetMaxDistance(maxDistanceUnits, DS3D_IMMEDIATE);
        buffer3D->SetMode(DS3DMODE_HEADRELATIVE, DS3D_IMMEDIATE);

        while (keepOrbiting) {
            LARGE_INTEGER count;
            if (!QueryPerformanceCounter(&count)) {
                std::cerr << "Couldn't get elapsed counts!\n\n";
                result = 1;
                break;
            }
            // Counter time is the angle: clockwise seen from above, ahead at 0, right at pi/2.
            const double angleRadians = static_cast<double>(count.QuadPart) * secondsPerCount;
            const auto x = static_cast<D3DVALUE>(static_cast<float>(std::sin(angleRadians)) * radiusUnits);
            const auto z = static_cast<D3DVALUE>(static_cast<float>(std::cos(angleRadians)) * radiusUnits);
            buffer3D->SetPosition(x, 0.0f, z, DS3D_IMMEDIATE);
            Sleep(pauseMs);
        }
    }

    if (buffer3D)
        buffer3D->Release();
    _endthreadex(result);
    return result;
}
