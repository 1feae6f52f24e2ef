// Threads, handles and the console window under their Windows names.
#include "platform/posix/kernel.h"

HWND GetConsoleWindow()
{
    return kernel::ConsoleWindow();
}

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(WINAPI* routine)(void*), void* argument,
                              unsigned flags, unsigned* threadId)
{
    return kernel::BeginThread(stackSize, routine, argument, flags, threadId);
}

void _endthreadex(unsigned exitCode)
{
    kernel::EndThread(exitCode);
}

BOOL SetThreadPriority(HANDLE thread, int priority)
{
    return kernel::SetPriority(thread, priority);
}

DWORD ResumeThread(HANDLE thread)
{
    return kernel::Resume(thread);
}

DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs)
{
    return kernel::Wait(object, timeoutMs);
}

BOOL CloseHandle(HANDLE object)
{
    return kernel::Close(object);
}
