// The Linux stand-ins for the kernel's threads, counter and console handle.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace {

struct ThreadProbe {
    std::atomic<bool> ran{false};
    std::atomic<bool> passedEnd{false};
    int nice = 0;
};

unsigned WINAPI RecordRun(void* argument)
{
    auto* probe = static_cast<ThreadProbe*>(argument);
    errno = 0;
    probe->nice = getpriority(PRIO_PROCESS, 0); // this thread's own nice value
    probe->ran = true;
    return 0;
}

unsigned WINAPI EndEarly(void* argument)
{
    auto* probe = static_cast<ThreadProbe*>(argument);
    probe->ran = true;
    _endthreadex(7);
    probe->passedEnd = true;
    return 0;
}

HANDLE Begin(unsigned(WINAPI* routine)(void*), ThreadProbe& probe, unsigned flags)
{
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, &probe, flags, nullptr));
}

TEST(KernelStandInTest, ASuspendedThreadRunsNothingUntilResumed)
{
    ThreadProbe probe;
    const HANDLE thread = Begin(RecordRun, probe, CREATE_SUSPENDED);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_FALSE(probe.ran);

    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.ran);
    EXPECT_EQ(ResumeThread(thread), 0u) << "a running or ended thread is not suspended";
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(KernelStandInTest, APriorityTakesEffectBeforeTheThreadFirstRuns)
{
    errno = 0;
    const int processNice = getpriority(PRIO_PROCESS, 0);
    for (const auto& [priority, niceOffset] : {std::pair{THREAD_PRIORITY_NORMAL, 0}, {THREAD_PRIORITY_LOWEST, 2}}) {
        ThreadProbe probe;
        const HANDLE thread = Begin(RecordRun, probe, CREATE_SUSPENDED);
        ASSERT_NE(thread, nullptr);
        EXPECT_TRUE(SetThreadPriority(thread, priority));
        ResumeThread(thread);
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(probe.nice, std::min(processNice + niceOffset, 19)) << "priority " << priority;
        EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL)) << "the thread has ended";
        CloseHandle(thread);
    }
    ThreadProbe probe;
    const HANDLE thread = Begin(RecordRun, probe, CREATE_SUSPENDED);
    EXPECT_FALSE(SetThreadPriority(thread, 7)) << "not a priority";
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(KernelStandInTest, EndingEarlyAndClosingAreSafe)
{
    ThreadProbe early;
    const HANDLE ended = Begin(EndEarly, early, 0);
    ASSERT_NE(ended, nullptr);
    EXPECT_EQ(WaitForSingleObject(ended, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(early.ran);
    EXPECT_FALSE(early.passedEnd) << "_endthreadex returned";
    EXPECT_TRUE(CloseHandle(ended));

    // A handle closed while its thread never ran: the thread stays parked, the handle is gone.
    ThreadProbe parked;
    const HANDLE neverRun = Begin(RecordRun, parked, CREATE_SUSPENDED);
    EXPECT_TRUE(CloseHandle(neverRun));
    EXPECT_FALSE(CloseHandle(neverRun)) << "closed twice";
    EXPECT_EQ(WaitForSingleObject(neverRun, 0), WAIT_FAILED);
    EXPECT_EQ(ResumeThread(neverRun), static_cast<DWORD>(-1));
    EXPECT_FALSE(SetThreadPriority(neverRun, THREAD_PRIORITY_NORMAL));
    EXPECT_FALSE(parked.ran);

    // Handles that were never handed out.
    int notAHandle = 0;
    EXPECT_FALSE(CloseHandle(&notAHandle));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 10), WAIT_FAILED);
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(_beginthreadex(nullptr, 0, RecordRun, &early, 0x8, nullptr), 0u) << "unknown creation flag";
}

TEST(KernelStandInTest, TheCounterIsTheMonotonicClockInNanoseconds)
{
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 1'000'000'000);

    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_GE(after.QuadPart - before.QuadPart, 20'000'000) << "a pause lasts at least as long as asked";
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));

    EXPECT_NE(GetConsoleWindow(), nullptr);
    EXPECT_EQ(GetConsoleWindow(), GetConsoleWindow());
}

} // namespace
