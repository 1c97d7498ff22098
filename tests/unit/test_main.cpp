#include <gtest/gtest.h>

#include "platform/testing.h"

int main(int argc, char** argv) {
    plat::testing::PrepareTestMachine();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
