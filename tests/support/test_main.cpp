// Every test starts on a fresh host platform (deterministic scheduler) and
// fails if it leaves pool blocks or handles behind.
#include <gtest/gtest.h>

#include "platform/host/platform.h"

namespace {

class PlatformGuard : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { veltocam::host::ResetPlatform(); }
  void OnTestEnd(const testing::TestInfo&) override {
    std::string leftovers = veltocam::host::DescribeLeftovers();
    EXPECT_TRUE(leftovers.empty()) << "the test left behind: " << leftovers;
    veltocam::host::ShutdownKernel();
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new PlatformGuard);
  return RUN_ALL_TESTS();
}
