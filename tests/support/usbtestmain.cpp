// main() of the suites that use the virtual USB bus.

#include <gtest/gtest.h>

#include "support/umockdevpreload.h"

int main(int argc, char** argv)
{
    restartUnderUmockdevUnlessPreloaded(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
