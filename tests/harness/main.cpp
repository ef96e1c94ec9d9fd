// main() of every GoogleTest binary here. A binary in which a test skipped
// (GTEST_SKIP: no namespaces, no tshark) and none failed exits 77, CTest's
// skip code, so that CTest counts it as skipped rather than passed: a test
// that did not run proves nothing.
#include <gtest/gtest.h>

namespace {

constexpr int kSkipped = 77;

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (status == 0 && testing::UnitTest::GetInstance()->skipped_test_count() > 0) return kSkipped;
    return status;
}
