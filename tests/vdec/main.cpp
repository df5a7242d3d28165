// The decoder tests' program: GoogleTest, plus a child mode in which the
// program holds a hardware decoder for another test process (the
// machine-wide attached count is checked across processes).
#include <gtest/gtest.h>

#include <cstring>

#include "cudachild.h"

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], kCudaChildSwitch) == 0)
        return RunCudaChild(argc - 2, argv + 2);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
