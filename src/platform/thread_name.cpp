#include "platform/thread_name.h"

#include <pthread.h>

namespace platform {

void nameCurrentThread(const std::string& name) {
    if (name.empty())
        return;
    // A longer name is refused (ERANGE) rather than cut, so it is cut here.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace platform
