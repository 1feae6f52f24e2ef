// Engine threads: a queue of work served by one thread, bounded work timed from its start, and
// the process's lost state.
#include "platform/openal/engine_thread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/openal/exit_guard.h"

namespace sound {
namespace {

// Raised by EndWorkIfLost, caught where the thread runs the work.
struct WorkEnded {};

struct Job {
    std::function<void()> work;
    Limit limit;
    // Under the thread's mutex:
    bool started = false;
    bool done = false;
    Deadline deadline = Deadline::max();
    std::exception_ptr failure = nullptr; // what the work threw, for its caller
};

std::atomic<bool> engineLost{false};
std::atomic<int> engineThreads{0}; // started, not yet joined
std::atomic<WorkHook> workHook{nullptr};
thread_local Deadline currentDeadline = Deadline::max();

} // namespace

bool EngineLost()
{
    return engineLost.load();
}

bool EngineInUse()
{
    return engineThreads.load() > 0; // a lost engine's threads are never joined
}

void LoseEngine()
{
    if (!engineLost.exchange(true))
        GuardEveryExit();
}

struct EngineThread::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Job>> queue;
    bool stopping = false;
    bool finished = false;

    void Serve()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || stopping; });
            if (EngineLost())
                Park(lock);
            if (queue.empty()) {
                finished = true;
                changed.notify_all();
                return;
            }
            std::shared_ptr<Job> job = std::move(queue.front());
            queue.pop_front();
            job->started = true;
            if (job->limit)
                job->deadline = Clock::now() + *job->limit;
            lock.unlock();
            if (job->limit)
                changed.notify_all(); // its caller's wait is timed from now
            currentDeadline = job->deadline;
            try {
                if (const WorkHook hook = workHook.load())
                    hook();
                job->work();
            } catch (const WorkEnded&) {
                // The engine is lost: the work's result stays empty.
            } catch (...) {
                job->failure = std::current_exception(); // out of memory, say
            }
            currentDeadline = Deadline::max();
            lock.lock();
            job->done = true;
            lock.unlock();
            changed.notify_all();
            // What the work captured goes without the lock held.
            job.reset();
            lock.lock();
        }
    }

    // The engine is lost: nothing queued runs, and the thread never ends. The process's exit ends it.
    [[noreturn]] void Park(std::unique_lock<std::mutex>& lock)
    {
        std::deque<std::shared_ptr<Job>> dropped;
        dropped.swap(queue);
        lock.unlock();
        changed.notify_all();
        dropped.clear();
        lock.lock();
        for (;;)
            changed.wait(lock);
    }
};

Deadline CurrentDeadline()
{
    return currentDeadline;
}

void EndWorkIfLost()
{
    if (EngineLost())
        throw WorkEnded{};
}

void SetWorkHook(WorkHook hook)
{
    workHook = hook;
}

EngineThread::EngineThread()
    : shared_(std::make_shared<Shared>())
{
    try {
        thread_ = std::thread([shared = shared_] { shared->Serve(); });
        ++engineThreads;
    } catch (const std::system_error&) {
        // Runs nothing: every call fails.
    }
}

EngineThread::~EngineThread()
{
    if (!thread_.joinable())
        return;
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
    shared_->changed.wait(lock, [this] { return shared_->finished || EngineLost(); });
    const bool finished = shared_->finished;
    lock.unlock();
    if (finished) {
        thread_.join();
        --engineThreads;
    } else {
        thread_.detach();
    }
}

bool EngineThread::Run(Limit limit, std::function<void()> work)
{
    GuardExit();
    auto job = std::make_shared<Job>(Job{std::move(work), limit});
    std::unique_lock lock(shared_->mutex);
    if (!thread_.joinable() || EngineLost())
        return false;
    shared_->queue.push_back(job);
    lock.unlock();
    shared_->changed.notify_all();
    lock.lock();
    for (;;) {
        if (job->done) {
            if (job->failure)
                std::rethrow_exception(job->failure);
            return true;
        }
        if (!job->started && EngineLost()) {
            std::erase(shared_->queue, job);
            return false;
        }
        if (!job->started || job->deadline == Deadline::max()) {
            shared_->changed.wait(lock);
        } else if (shared_->changed.wait_until(lock, job->deadline) == std::cv_status::timeout && !job->done) {
            LoseEngine();
            shared_->changed.notify_all();
            return false;
        }
    }
}

bool EngineThread::Post(std::function<void()> work)
{
    GuardExit();
    {
        std::lock_guard lock(shared_->mutex);
        if (!thread_.joinable() || EngineLost())
            return false;
        shared_->queue.push_back(std::make_shared<Job>(Job{std::move(work), std::nullopt}));
    }
    shared_->changed.notify_all();
    return true;
}

} // namespace sound
