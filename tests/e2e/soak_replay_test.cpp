// `veltocam soak --episode E` reproduces episode E alone: that holds only if
// an episode's course depends on its seed and on nothing an earlier episode
// left in the driver, the host or the simulated camera.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "apps/soak_episode.h"
#include "platform/host/scheduler.h"

namespace veltocam::testing {
namespace {

struct Course {
  std::string broken;
  std::array<std::uint64_t, app::kSoakFaultKinds> faults{};
  std::uint64_t requests = 0;
  std::uint64_t frames = 0;
  std::uint64_t interleavings = 0;

  bool operator==(const Course&) const = default;
};

Course RunEpisode(std::uint64_t episode) {
  app::SoakTally tally;
  Course course;
  course.broken = app::RunSoakEpisode(app::SoakEpisodeSeed(5, episode), &tally);
  course.faults = tally.faults;
  course.requests = tally.requests;
  course.frames = tally.frames;
  course.interleavings = host::ScheduledInterleavings();
  return course;
}

TEST(SoakReplay, AnEpisodeRunsTheSameAfterOthersAsAlone) {
  if (host::ScheduleIsSeeded()) GTEST_SKIP() << "each episode chooses its own schedule";
  constexpr std::uint64_t kEpisodes = 4;
  std::map<std::uint64_t, Course> forward;
  for (std::uint64_t e = 0; e < kEpisodes; ++e) forward[e] = RunEpisode(e);
  for (std::uint64_t e = kEpisodes; e-- > 0;) {
    const Course again = RunEpisode(e);
    EXPECT_TRUE(again == forward[e]) << "episode " << e << " ran differently after others";
    EXPECT_EQ(again.broken, "") << "episode " << e;
  }
  EXPECT_GT(forward[0].interleavings, 0u);
}

}  // namespace
}  // namespace veltocam::testing
