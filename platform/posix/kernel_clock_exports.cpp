// The performance counter and the pause under their Windows names; kept apart
// from the thread functions so that the offline renderer can put its virtual
// clock in their place.
#include "platform/posix/kernel.h"

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    return kernel::CounterFrequency(frequency);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    return kernel::CounterNow(count);
}

void Sleep(DWORD durationMs)
{
    kernel::Pause(durationMs);
}
