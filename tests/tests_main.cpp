// The test programs' entry: GoogleTest's, with exit status 77, which CTest counts as skipped, when a test
// or a row of one did not run here and none failed.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    std::printf("Running main() from %s\n", __FILE__);  // as gtest_main says it; scripts/mutate.py reads it
    ::testing::InitGoogleTest(&argc, argv);
    if (RUN_ALL_TESTS() != 0) return 1;
    return ::testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? 77 : 0;
}
