// The main of semhost's test programs. On Windows a native module runs in
// a second start of the program that loads it: that copy serves the
// module instead of running the tests.
#include "library/isolated/child_entry.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ServeAsModuleProcessIfStartedSo(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
