#pragma once
// The system root a test process works in. Every test binary starts in a
// scratch root of its own (a temporary folder), so nothing a test does - the
// text log, the stand-ins' call log, stored preferences - reaches the real "/".

#include <string>

namespace qvtest {

// The process's scratch root, created on first use and removed at exit.
const std::string& scratchRoot();

// Points the product (SystemRoot) and the stand-in tools (QV_ROOT) at `root`.
void useRoot(const std::string& root);

// Back to the scratch root.
void restoreScratchRoot();

// Links the stand-in `shimName` from tests/shims to `absolutePath` under
// `root`, e.g. installStandIn(root, "installer", "/usr/sbin/installer").
void installStandIn(const std::string& root, const std::string& shimName,
                    const std::string& absolutePath);

}  // namespace qvtest
