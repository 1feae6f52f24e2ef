// Threads, the performance counter and the console window on POSIX: a thread
// is a detached pthread that waits at its start until resumed; a handle is a
// registered reference to the thread's record. A thread's priority is each
// system's own (thread_priority.h).
#include "platform/posix/kernel.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/posix/thread_priority.h"

namespace kernel {
namespace {

constexpr LONGLONG nanosecondsPerSecond = 1'000'000'000;
constexpr unsigned knownThreadFlags = CREATE_SUSPENDED;

// What a thread and its handles share. The thread holds a reference until it
// has ended, each handle one until it is closed.
struct ThreadRecord {
    unsigned(WINAPI* routine)(void*) = nullptr;
    void* argument = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // the thread has recorded its id and waits to be resumed
    unsigned suspendCount = 0;
    bool ended = false;
    ThreadId threadId = 0;
    int baseNice = 0;
};

// Open handles. Looking a handle up here first makes a stale or foreign handle
// an error instead of a stray pointer. Never destroyed: a thread that was never
// resumed may outlive every static object.
struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<ThreadRecord>> threads;
};

HandleTable& Handles()
{
    static auto* table = new HandleTable;
    return *table;
}

std::shared_ptr<ThreadRecord> FindThread(HANDLE handle)
{
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    const auto found = table.threads.find(handle);
    if (found == table.threads.end())
        return nullptr;
    return found->second;
}

// Marks the thread ended however it leaves: by returning or by EndThread.
struct EndMark {
    ThreadRecord& record;
    ~EndMark()
    {
        std::lock_guard lock(record.mutex);
        record.ended = true;
        record.changed.notify_all();
    }
};

void* ThreadStart(void* start)
{
    const std::unique_ptr<std::shared_ptr<ThreadRecord>> owner(static_cast<std::shared_ptr<ThreadRecord>*>(start));
    ThreadRecord& record = **owner;
    {
        std::unique_lock lock(record.mutex);
        record.threadId = CurrentThreadId();
        record.started = true;
        record.changed.notify_all();
        record.changed.wait(lock, [&] { return record.suspendCount == 0; });
    }
    const EndMark endMark{record};
    record.routine(record.argument);
    return nullptr;
}

// The nice value that stands for a thread priority, relative to the creator's.
bool NiceForPriority(int priority, int baseNice, int& nice)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        nice = 19;
        return true;
    case THREAD_PRIORITY_TIME_CRITICAL:
        nice = -20;
        return true;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
        nice = baseNice - priority;
        nice = nice < -20 ? -20 : (nice > 19 ? 19 : nice);
        return true;
    }
    return false;
}

} // namespace

BOOL CounterFrequency(LARGE_INTEGER* frequency)
{
    if (!frequency)
        return FALSE;
    frequency->QuadPart = nanosecondsPerSecond;
    return TRUE;
}

BOOL CounterNow(LARGE_INTEGER* count)
{
    timespec now{};
    if (!count || clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return FALSE;
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * nanosecondsPerSecond + now.tv_nsec;
    return TRUE;
}

HWND ConsoleWindow()
{
    // A terminal has no window; this address stands for it.
    static char terminal;
    return reinterpret_cast<HWND>(&terminal);
}

std::uintptr_t BeginThread(unsigned stackSize, unsigned(WINAPI* routine)(void*), void* argument, unsigned flags,
                           unsigned* threadId)
{
    if (!routine || (flags & ~knownThreadFlags) != 0) {
        errno = EINVAL;
        return 0;
    }
    auto record = std::make_shared<ThreadRecord>();
    record->routine = routine;
    record->argument = argument;
    record->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
    record->baseNice = CurrentThreadNice();

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return 0;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const auto smallestStack = static_cast<std::size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < smallestStack ? smallestStack : stackSize);
    }
    auto* threadShare = new std::shared_ptr<ThreadRecord>(record);
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, ThreadStart, threadShare);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        delete threadShare;
        errno = created;
        return 0;
    }

    // Wait until the thread knows its id, so that its priority can be set
    // before it first runs.
    {
        std::unique_lock lock(record->mutex);
        record->changed.wait(lock, [&] { return record->started; });
        if (threadId)
            *threadId = static_cast<unsigned>(record->threadId);
    }

    auto* handleKey = new char;
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    table.threads.emplace(handleKey, std::move(record));
    return reinterpret_cast<std::uintptr_t>(handleKey);
}

void EndThread(unsigned)
{
    // Unwinds the thread's stack; its end mark records that it has ended.
    pthread_exit(nullptr);
}

BOOL SetPriority(HANDLE thread, int priority)
{
    const auto record = FindThread(thread);
    if (!record)
        return FALSE;
    std::lock_guard lock(record->mutex);
    int nice = 0;
    if (record->ended || !NiceForPriority(priority, record->baseNice, nice))
        return FALSE;
    return SetThreadNice(record->threadId, nice) ? TRUE : FALSE;
}

DWORD Resume(HANDLE thread)
{
    const auto record = FindThread(thread);
    if (!record)
        return static_cast<DWORD>(-1);
    std::lock_guard lock(record->mutex);
    const DWORD previousCount = record->suspendCount;
    if (record->suspendCount > 0 && --record->suspendCount == 0)
        record->changed.notify_all();
    return previousCount;
}

DWORD Wait(HANDLE object, DWORD timeoutMs)
{
    const auto record = FindThread(object);
    if (!record)
        return WAIT_FAILED;
    std::unique_lock lock(record->mutex);
    const auto hasEnded = [&] { return record->ended; };
    if (timeoutMs == INFINITE) {
        record->changed.wait(lock, hasEnded);
        return WAIT_OBJECT_0;
    }
    return record->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasEnded) ? WAIT_OBJECT_0
                                                                                            : WAIT_TIMEOUT;
}

BOOL Close(HANDLE object)
{
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    const auto found = table.threads.find(object);
    if (found == table.threads.end())
        return FALSE;
    table.threads.erase(found);
    delete static_cast<char*>(object);
    return TRUE;
}

void Pause(DWORD durationMs)
{
    if (durationMs == 0)
        sched_yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(durationMs)); // resumes after a signal
}

} // namespace kernel
