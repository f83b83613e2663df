#include "support/system_roots.h"

#include <cstdlib>

#include "platform/system_root.h"
#include "support/temp_dir.h"

namespace qvtest {

const std::string& scratchRoot() {
    static const TempDir folder;
    static const std::string root = folder.str();
    return root;
}

void useRoot(const std::string& root) {
    platform::SystemRoot::set(root);
    ::setenv("QV_ROOT", root.c_str(), 1);
}

void restoreScratchRoot() {
    useRoot(scratchRoot());
}

StandInsOnPath::StandInsOnPath()
    : savedPath_(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin") {
    ::setenv("PATH", (std::string(QV_SHIMS_DIR) + ":" + savedPath_).c_str(), 1);
}

StandInsOnPath::~StandInsOnPath() {
    ::setenv("PATH", savedPath_.c_str(), 1);
}

}  // namespace qvtest
