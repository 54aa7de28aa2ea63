// `veltocam soak --episode E` reproduces episode E alone: that holds only if
// an episode's course depends on its seed and on nothing an earlier episode
// left in the driver, the host or the simulated camera.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include "apps/soak_episode.h"
#include "platform/host/scheduler.h"

namespace veltocam::testing {
namespace {

constexpr std::uint64_t kEpisodes = 4;

// What the soak reports of an episode, and the schedule and virtual time it
// took: a course that any leftover state bends shows in one of them.
struct Course {
  std::string broken;
  std::array<std::uint64_t, app::kSoakFaultKinds> faults{};
  std::uint64_t requests = 0;
  std::uint64_t frames = 0;
  std::uint64_t interleavings = 0;
  std::uint64_t time = 0;

  bool operator==(const Course&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Course& c) {
  out << "{broken \"" << c.broken << "\", faults";
  for (std::uint64_t count : c.faults) out << ' ' << count;
  return out << ", " << c.requests << " requests, " << c.frames << " frames, " << c.interleavings
             << " interleavings, " << c.time << " x 100 ns}";
}

Course RunEpisode(std::uint64_t episode) {
  app::SoakTally tally;
  Course course;
  course.broken = app::RunSoakEpisode(app::SoakEpisodeSeed(5, episode), &tally);
  course.faults = tally.faults;
  course.requests = tally.requests;
  course.frames = tally.frames;
  course.interleavings = host::ScheduledInterleavings();
  course.time = host::Now();
  return course;
}

class SoakReplay : public ::testing::TestWithParam<std::uint64_t> {};

// ctest runs each episode's test in a process of its own, so that its first
// run is the one `--episode` makes.
TEST_P(SoakReplay, AnEpisodeRunsTheSameAfterTheOthersAsAlone) {
  if (host::ScheduleIsSeeded()) GTEST_SKIP() << "each episode chooses its own schedule";
  const std::uint64_t episode = GetParam();
  const Course alone = RunEpisode(episode);
  EXPECT_EQ(alone.broken, "");
  EXPECT_GT(alone.interleavings, 0u);
  for (std::uint64_t other = 1; other < kEpisodes; ++other) {
    EXPECT_EQ(RunEpisode((episode + other) % kEpisodes).broken, "");
  }
  EXPECT_EQ(RunEpisode(episode), alone);
}

INSTANTIATE_TEST_SUITE_P(Episodes, SoakReplay, ::testing::Range<std::uint64_t>(0, kEpisodes));

}  // namespace
}  // namespace veltocam::testing
