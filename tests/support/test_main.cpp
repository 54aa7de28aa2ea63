// Every test starts on a fresh host platform (deterministic scheduler) and
// fails if it leaves anything behind: pool blocks, handles, armed timers,
// queued DPCs or work items, packets at a driver, a raised IRQL, contract
// violations.
//
// --schedule_seed=S runs every test under the seeded schedule S (each test
// mixes its own name in); --schedule_seeds=N runs the whole suite N times, with
// the seeds S, S+1, ... S+N-1 (S defaults to 1). A failing test names the
// seed that reproduces it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/host/platform.h"

namespace {

std::uint64_t g_baseSeed = 0;

class PlatformGuard : public testing::EmptyTestEventListener {
  void OnTestIterationStart(const testing::UnitTest&, int iteration) override {
    iteration_ = iteration;
  }
  void OnTestStart(const testing::TestInfo& info) override {
    veltocam::host::ShutdownKernel();  // a test may have left real-time threads
    seed_ = g_baseSeed == 0 ? 0 : g_baseSeed + static_cast<std::uint64_t>(iteration_);
    const std::string name = std::string(info.test_suite_name()) + "." + info.name();
    veltocam::host::SetScheduleSeed(
        seed_ == 0 ? 0 : (seed_ * 0x9E3779B97F4A7C15ULL ^ std::hash<std::string>{}(name)) | 1);
    veltocam::host::ResetPlatform();
  }
  void OnTestEnd(const testing::TestInfo& info) override {
    std::string leftovers = veltocam::host::DescribeLeftovers();
    EXPECT_TRUE(leftovers.empty()) << "the test left behind: " << leftovers;
    if (seed_ != 0 && info.result()->Failed()) {
      std::fprintf(stderr,
                   "schedule seed %llu: rerun with --schedule_seed=%llu --gtest_filter=%s.%s "
                   "(%llu interleavings)\n",
                   static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(seed_),
                   info.test_suite_name(), info.name(),
                   static_cast<unsigned long long>(veltocam::host::ScheduledInterleavings()));
    }
    veltocam::host::ShutdownKernel();
  }

  int iteration_ = 0;
  std::uint64_t seed_ = 0;
};

// Takes --name=value off the command line; null when absent.
const char* TakeFlag(int* argc, char** argv, const char* name) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      const char* value = argv[i] + length + 1;
      for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
      --*argc;
      return value;
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const char* seed = TakeFlag(&argc, argv, "--schedule_seed");
  const char* seeds = TakeFlag(&argc, argv, "--schedule_seeds");
  if (seed != nullptr) g_baseSeed = std::strtoull(seed, nullptr, 10);
  if (seeds != nullptr) {
    if (g_baseSeed == 0) g_baseSeed = 1;
    GTEST_FLAG_SET(repeat, std::atoi(seeds));
  }
  testing::UnitTest::GetInstance()->listeners().Append(new PlatformGuard);
  return RUN_ALL_TESTS();
}
