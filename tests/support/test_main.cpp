// The tests' main. A test executable embeds the library's objects, so it is its own loader and
// runs the module's attach once itself (a no-op where static construction already did it).
#include <gtest/gtest.h>

#include "api/module.h"

int main(int argc, char** argv) {
    if (ModuleProcessAttach() != 0) return 2;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
