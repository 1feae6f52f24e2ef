// A thread's priority as a nice value, which each system sets in its own way.
#pragma once

namespace kernel {

using ThreadId = long;

// The calling thread's id, by which its priority can be set.
ThreadId CurrentThreadId();
// The calling thread's nice value.
int CurrentThreadNice();
// Sets a thread's nice value (-20 to 19); false when the system refuses.
bool SetThreadNice(ThreadId thread, int nice);

} // namespace kernel
