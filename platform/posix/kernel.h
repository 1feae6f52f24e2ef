// The workings behind the kernel and runtime stand-ins, callable under their
// own names so that a test double of the exported functions can forward to them.
#pragma once

#include <cstdint>

#include "platform/posix/kernel_api.h"

namespace kernel {

BOOL CounterFrequency(LARGE_INTEGER* frequency);
BOOL CounterNow(LARGE_INTEGER* count);
HWND ConsoleWindow();

std::uintptr_t BeginThread(unsigned stackSize, unsigned(WINAPI* routine)(void*), void* argument, unsigned flags,
                           unsigned* threadId);
[[noreturn]] void EndThread(unsigned exitCode);
BOOL SetPriority(HANDLE thread, int priority);
DWORD Resume(HANDLE thread);
DWORD Wait(HANDLE object, DWORD timeoutMs);
BOOL Close(HANDLE object);
void Pause(DWORD durationMs);

} // namespace kernel
