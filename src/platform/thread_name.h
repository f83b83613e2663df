#pragma once
// Names the calling thread for the people who look at a running daemon (ps,
// top, /proc/PID/task/*/comm, a debugger): each thread the daemon starts
// carries the name of its job. startThread (platform/threads.h) names every
// thread it starts with it.

#include <string>

namespace platform {

// At most 15 characters are kept (Linux's limit); an empty name keeps the
// name the thread inherited from the one that started it.
void nameCurrentThread(const std::string& name);

}  // namespace platform
