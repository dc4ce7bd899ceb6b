// The test program's entry: the library's Windows directory is settled
// before any test (or the library) can look at it.
#include <gtest/gtest.h>

#include "support/device_list.h"

int main(int argc, char** argv) {
    kelvotest::windowsDirectory();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
