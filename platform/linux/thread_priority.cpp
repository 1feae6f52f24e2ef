// Thread priorities on Linux, where each thread has a nice value of its own, set through its
// kernel thread id.
#include "platform/posix/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kernel {

ThreadId CurrentThreadId()
{
    return static_cast<ThreadId>(syscall(SYS_gettid));
}

int CurrentThreadNice()
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? nice : 0;
}

bool SetThreadNice(ThreadId thread, int nice)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0;
}

} // namespace kernel
