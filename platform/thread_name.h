// The calling thread's name (for debuggers and crash reports) and priority. Best
// effort: a system without the service, or a process without the right, leaves the
// thread as it was, with no effect on behaviour.
#pragma once

namespace platform {

void NameCurrentThread(const char* name);

// The highest priority of an ordinary thread (Win32 THREAD_PRIORITY_HIGHEST; POSIX: a
// lower nice value, which an unprivileged process may be refused).
void RaiseCurrentThreadPriority();

}  // namespace platform
