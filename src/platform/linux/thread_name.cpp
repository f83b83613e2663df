// Linux: pthread_setname_np takes the thread to name. (macOS names only the
// calling thread, pthread_setname_np(name), with a limit of 63 characters.)

#include <pthread.h>

#include "platform/thread_name.h"

namespace platform {

void nameCurrentThread(const std::string& name) {
    if (name.empty())
        return;
    // A longer name is refused (ERANGE) rather than cut, so it is cut here.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace platform
