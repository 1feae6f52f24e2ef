// A scripted stand-in for the sound service, the counter and the threads,
// linked into the program's tests in place of the real layer. Each call is
// logged; the script says which calls fail and what the counter reads.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace scripted {

struct Script {
    HRESULT createDevice = DS_OK;
    HRESULT cooperativeLevel = DS_OK;
    HRESULT createBuffer = DS_OK; // DS_NO_VIRTUALIZATION is a success that the program reports
    HRESULT lock = DS_OK;
    HRESULT unlock = DS_OK;
    HRESULT play = DS_OK;
    HRESULT query3D = DS_OK;

    bool frequencyFails = false;
    LONGLONG frequency = 1'000'000'000;
    // Reads the counter; by default the real one.
    std::function<BOOL(LARGE_INTEGER*)> counter;
    // Pauses the calling thread; by default for real.
    std::function<void(DWORD)> pause;

    // Run on a new thread before its routine: a scheduler that keeps it waiting. None by default.
    std::function<void()> threadStarts;
    bool threadCreationFails = false;
    bool priorityFails = false;
    bool resumeFails = false;
};

// The script of the current test; Reset() restores the defaults and clears the log.
Script& CurrentScript();
void Reset();

// The calls made so far, in order, e.g. "CreateSoundBuffer", "SetPosition 10 0 0",
// "Release buffer", "WaitForSingleObject 1000 -> timeout".
std::vector<std::string> Calls();

// What the program handed over: the description's algorithm and size, the
// window given to the cooperative level, and the bytes in the buffer at Unlock.
struct Observed {
    GUID algorithm{};
    DWORD descriptionSize = 0;
    DWORD bufferBytes = 0;
    HWND window = nullptr;
    std::vector<unsigned char> unlockedBytes;
    std::vector<std::array<D3DVALUE, 3>> positions;
};
Observed Seen();

// The number of stand-in objects not yet released.
int LiveObjects();

} // namespace scripted
