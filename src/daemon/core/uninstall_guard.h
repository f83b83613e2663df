#pragma once
// The uninstall's guard on isUninstallProcessActive: one run of the uninstall
// sequence at a time. The sequence takes the flag (take(), one atomic
// test-and-set) and never sets it back itself: a run that went through leaves
// it taken, as the daemon is going away. A caller that wants a failed run to
// be retried later runs it inside an UninstallGuard, which gives the flag back
// when the run it guards took it and then did not return, whatever it threw.

namespace QVAgentLaunchDaemon {

class UninstallGuard {
  public:
    // Guards the runs that take() starts on this thread until the guard ends.
    UninstallGuard() noexcept;
    // Releases the flag when a guarded run took it, unless keep() was called.
    ~UninstallGuard();
    UninstallGuard(const UninstallGuard&) = delete;
    UninstallGuard& operator=(const UninstallGuard&) = delete;

    // The guarded run returned: the flag stays as the run left it.
    void keep() noexcept { kept_ = true; }

    // Takes the flag; false when another run holds it. The innermost guard
    // alive on this thread, if any, then answers for it.
    static bool take() noexcept;

  private:
    UninstallGuard* outer_;
    bool took_ = false;
    bool kept_ = false;
};

}  // namespace QVAgentLaunchDaemon
