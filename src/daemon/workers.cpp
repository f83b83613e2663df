#include "daemon/workers.h"

#include "daemon/app_core.h"

namespace QVAgentLaunchDaemon {

void startGetConfigurationWorker() {
    App::Core::Logging::WriteLine("Get Configuration worker started.");
}

void startSendStateWorker() {
    App::Core::Logging::WriteLine("Starting send computer state worker.");
}

}  // namespace QVAgentLaunchDaemon
