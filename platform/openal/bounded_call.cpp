// Work given a bound, and the count of the work given up on that still runs.
#include "platform/openal/bounded_call.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace sound {
namespace {

// Written by the waiting thread when it gives up and by the worker when it
// ends, each under that work's own lock; read at exit.
std::atomic<int> givenUpRunning{0};

} // namespace

bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work)
{
    struct Progress {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool givenUp = false;
    };
    auto progress = std::make_shared<Progress>();
    std::thread worker;
    try {
        worker = std::thread([progress, work] {
            work();
            std::lock_guard lock(progress->mutex);
            progress->done = true;
            if (progress->givenUp)
                --givenUpRunning;
            progress->finished.notify_all();
        });
    } catch (const std::system_error&) {
        work(); // no thread to be had: wait as long as it takes
        return true;
    }
    std::unique_lock lock(progress->mutex);
    const bool inTime = progress->finished.wait_for(lock, limit, [&] { return progress->done; });
    if (!inTime) {
        progress->givenUp = true;
        ++givenUpRunning;
        GuardExitAgainstGivenUpWork();
    }
    lock.unlock();
    if (inTime)
        worker.join();
    else
        worker.detach();
    return inTime;
}

bool GivenUpWorkRunning()
{
    return givenUpRunning.load() > 0;
}

} // namespace sound
