// The platform test program. It also serves as the second process of the
// shared-memory and named mutex tests, started with a special first argument.
#include <cstring>

#include <gtest/gtest.h>

#include "test_util.h"

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], qvtest::kSharedMemoryChildArg) == 0)
        return qvtest::RunSharedMemoryChild(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], qvtest::kNamedMutexChildArg) == 0)
        return qvtest::RunNamedMutexChild(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
