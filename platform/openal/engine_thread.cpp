// Engine threads: a queue of work served by one thread, callers waiting each against its own
// deadline, and the count of threads given up on while inside their work.
#include "platform/openal/engine_thread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

#include "platform/openal/exit_guard.h"

namespace sound {
namespace {

// Raised by EndWorkIfGivenUp, caught where the thread runs the work.
struct WorkGivenUp {};

struct Job {
    std::function<void()> work;
    bool started = false; // under the thread's mutex
    bool done = false;    // under the thread's mutex
    std::atomic<bool> givenUp{false};
};

// Engine threads given up on while inside their work. Raised by the caller that gives up and
// lowered by the thread once its work has returned, both under that thread's mutex; the thread
// then never calls the engine again. Read by the exit guard.
std::atomic<int> busyAfterGiveUp{0};

// The work the calling engine thread is running.
thread_local Job* currentJob = nullptr;

} // namespace

struct EngineThread::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Job>> queue;
    bool stopping = false;
    bool lost = false;

    void Serve()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || stopping; });
            if (queue.empty())
                return;
            std::shared_ptr<Job> job = std::move(queue.front());
            queue.pop_front();
            job->started = true;
            lock.unlock();
            currentJob = job.get();
            try {
                job->work();
            } catch (...) {
                // Given up, or the work failed (out of memory): its result stays empty.
            }
            currentJob = nullptr;
            lock.lock();
            job->done = true;
            if (job->givenUp) {
                --busyAfterGiveUp;
                // Lost: it neither calls the engine again nor ends, since the end of a thread
                // runs the engine's own cleanup of what the thread held. The process's exit ends it.
                for (;;)
                    changed.wait(lock);
            }
            changed.notify_all();
            // What the work captured goes without the lock held.
            lock.unlock();
            job.reset();
            lock.lock();
        }
    }
};

bool EngineBusyAfterGiveUp()
{
    return busyAfterGiveUp.load() > 0;
}

void EndWorkIfGivenUp()
{
    if (currentJob && currentJob->givenUp.load())
        throw WorkGivenUp{};
}

EngineThread::EngineThread()
    : shared_(std::make_shared<Shared>())
{
    // Whichever thread opens a device is the one whose exit the guard must watch.
    GuardExit();
    try {
        thread_ = std::thread([shared = shared_] { shared->Serve(); });
    } catch (const std::system_error&) {
        shared_->lost = true;
    }
}

EngineThread::~EngineThread()
{
    if (!thread_.joinable())
        return;
    bool lost = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        lost = shared_->lost;
        shared_->changed.notify_all();
    }
    if (lost)
        thread_.detach();
    else
        thread_.join();
}

bool EngineThread::Run(Deadline deadline, std::function<void()> work)
{
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    std::unique_lock lock(shared_->mutex);
    if (shared_->lost)
        return false;
    shared_->queue.push_back(job);
    shared_->changed.notify_all();
    const auto settled = [&] { return job->done || shared_->lost; };
    if (deadline == Deadline::max())
        shared_->changed.wait(lock, settled);
    else
        shared_->changed.wait_until(lock, deadline, settled);
    if (job->done)
        return true;
    if (!job->started) {
        // Still waiting behind other work, or the thread was lost meanwhile: it never runs.
        std::erase(shared_->queue, job);
        return false;
    }
    shared_->lost = true;
    job->givenUp = true;
    ++busyAfterGiveUp;
    shared_->changed.notify_all();
    return false;
}

bool EngineThread::Lost() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->lost;
}

} // namespace sound
