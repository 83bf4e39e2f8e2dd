// qsync's unit tests. Started with "--child ..." the executable is instead
// the second process of a test (child_process.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--child") return RunChild(std::vector<std::string>(argv + 2, argv + argc));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
