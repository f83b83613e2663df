#include "support/system_roots.h"

#include <cstdlib>
#include <filesystem>

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

void installStandIn(const std::string& root, const std::string& shimName,
                    const std::string& absolutePath) {
    const std::filesystem::path link = root + absolutePath;
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(std::string(QV_SHIMS_DIR) + "/" + shimName, link);
}

}  // namespace qvtest
