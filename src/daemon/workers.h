#pragma once
// The two periodic workers: configuration fetch and computer-state report.

namespace QVAgentLaunchDaemon {

void startGetConfigurationWorker();
void startSendStateWorker();

}  // namespace QVAgentLaunchDaemon
