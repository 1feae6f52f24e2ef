// The threads that make every engine call, one per device, and the one lost state of the process.
// The rules the rest of the layer keeps:
// - Only work handed to a device's engine thread calls the engine for that device; work owns
//   what it touches (it captures by value), and no lock is held while a caller waits for it.
// - Only work that can wait on the sound server is bounded, from the moment it starts; other
//   work runs to its end. An engine call that can wait on the server is followed by
//   EndWorkIfLost(), so that a call that comes back late is the work's last.
// - Bounded work that does not end in time loses the engine for the rest of the process: every
//   later call fails at once, no work runs again on any engine thread, and no engine thread ends
//   (which would run the engine's cleanup of what it holds), whatever comes back late.
// - While an engine thread is there, the process's exit skips the engine's shutdown (exit_guard.h).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>

namespace sound {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
// How long bounded work may take from the moment it starts; nothing for work that runs to its end.
using Limit = std::optional<std::chrono::milliseconds>;

bool EngineLost();
// Whether an engine thread is still there: its device not closed yet, or the engine lost.
bool EngineInUse();
// Loses the engine for good: for work whose sound server did not answer a question of ours.
void LoseEngine();

class EngineThread {
public:
    // Starts the thread; one that cannot be started runs nothing.
    EngineThread();
    // Ends the thread once its work is done; with the engine lost, the thread is left to itself.
    ~EngineThread();
    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    // Runs work on the thread, in order with the rest, and waits for it to end. False when it did
    // not run (the thread did not start, or the engine was lost before its turn came) or did not
    // end within its limit, which loses the engine. What the work throws is thrown here.
    bool Run(Limit limit, std::function<void()> work);

    // Runs work and hands back its result; nothing when Run fails.
    template <typename Work>
    auto Call(Limit limit, Work work) -> std::optional<std::invoke_result_t<Work&>>
    {
        using Result = std::invoke_result_t<Work&>;
        auto result = std::make_shared<std::optional<Result>>();
        if (!Run(limit, [result, work = std::move(work)]() mutable { result->emplace(work()); }))
            return std::nullopt;
        return std::move(*result);
    }

    // Queues work that runs to its end, in order with the rest, and returns at once. False when
    // it will not run.
    bool Post(std::function<void()> work);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// On an engine thread: the deadline of the work it runs; Deadline::max() for unbounded work.
Deadline CurrentDeadline();

// On an engine thread: ends the work at once, by an exception the thread catches, when the
// engine is lost.
void EndWorkIfLost();

// A test's stand-in for a slow engine call: run on the engine thread at the start of each piece
// of work, as part of it. Null for none.
using WorkHook = void (*)();
void SetWorkHook(WorkHook hook);

} // namespace sound
