// The entry point of every test binary: Google Test in the scratch root.

#include <gtest/gtest.h>

#include "support/system_roots.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qvtest::restoreScratchRoot();
    return RUN_ALL_TESTS();
}
