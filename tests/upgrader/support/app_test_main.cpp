// Test main for the upgrader's folders: the tests run on the main thread of
// an application object, whose event loop the code under test hands work to.
#include <gtest/gtest.h>

#include "upgrader/platform/application.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
