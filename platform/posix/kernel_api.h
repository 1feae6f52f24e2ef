// The kernel and runtime services the program uses: the performance counter,
// the console window and threads, with the names and values Windows gives them.
#pragma once

#include <cstdint>

#include "platform/posix/windows_types.h"

constexpr unsigned CREATE_SUSPENDED = 0x4;

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// The counter reads the monotonic clock in nanoseconds.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);

// A handle that stands for the terminal; the cooperative level accepts it.
HWND GetConsoleWindow();

// Threads: a thread created with CREATE_SUSPENDED runs nothing until resumed.
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(WINAPI* routine)(void*),
                              void* argument, unsigned flags, unsigned* threadId);
[[noreturn]] void _endthreadex(unsigned exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);
DWORD ResumeThread(HANDLE thread);
DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs);
BOOL CloseHandle(HANDLE object);
void Sleep(DWORD durationMs);
