// Engine calls that can wait on the sound server, run with a bound; and what
// the process does at exit while a call it gave up on is still inside the engine.
#pragma once

#include <chrono>
#include <functional>

namespace sound {

// Runs work on a thread of its own and waits for it at most limit; false when
// it took longer. Work that outlives the wait is left to finish on its own, so
// it must hold everything it touches; work done in time leaves no thread behind.
bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work);

// Whether work that FinishesWithin gave up on is still running.
bool GivenUpWorkRunning();

// Each system's own: makes the process, should it exit while given-up work is
// still running, end at once with the same status and its output flushed,
// before the engine's shutdown frees what that work still uses. Called at
// each give-up, so that it comes after whatever the engine set up to run at exit.
void GuardExitAgainstGivenUpWork();

} // namespace sound
