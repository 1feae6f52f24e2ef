// The one thread that makes every engine call for a device, and the single deadline each
// operation waits against.
//
// The rules the rest of the layer keeps:
// - Only work handed to a device's engine thread calls the engine for that device; no other
//   thread does, and no lock is held while a caller waits for the work.
// - Work owns everything it touches (it captures by value): a caller that gave up returns and
//   may free its own memory while the work still runs.
// - An engine call that can wait on the sound server is followed by EndWorkIfGivenUp(), which
//   ends the work at once, without another engine call, when the operation was given up meanwhile.
// - A thread that did not finish an operation in time is lost for good: every later operation
//   fails at once, and the thread never calls the engine again, not even to close the device.
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

// Whether work of an engine thread that was given up on is still running: the engine may then
// be holding what its shutdown at the process's exit would free.
bool EngineBusyAfterGiveUp();

class EngineThread {
public:
    // Starts the thread; one that cannot be started leaves the object lost from the outset.
    EngineThread();
    // Ends the thread once it is idle. A lost thread is left to itself.
    ~EngineThread();
    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    // Runs work on the thread and waits for it until deadline. False when the work did not run
    // (the thread is lost, or stayed busy with another caller's work until the deadline) or did
    // not finish in time, which loses the thread.
    bool Run(Deadline deadline, std::function<void()> work);

    // Runs work and hands back its result; nothing when Run fails.
    template <typename Work>
    auto Call(Deadline deadline, Work work) -> std::optional<std::invoke_result_t<Work&>>
    {
        using Result = std::invoke_result_t<Work&>;
        auto result = std::make_shared<std::optional<Result>>();
        if (!Run(deadline, [result, work = std::move(work)]() mutable { result->emplace(work()); }))
            return std::nullopt;
        return std::move(*result);
    }

    bool Lost() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// Ends the work running on the calling engine thread, by an exception the thread catches, when
// its operation was given up on. Called right after each engine call that can wait on the
// sound server, so that a call that comes back late is the work's last.
void EndWorkIfGivenUp();

} // namespace sound
