// The exposure set-up as the camera receives it: window registers for the
// output size, the sensor access sequence and its bounded polls.
#include "pipeline/exposure.h"

#include <gtest/gtest.h>

#include "platform/host/trace.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

using Writes = std::vector<std::pair<USHORT, UCHAR>>;

Writes RunFor(CameraRig& rig, ULONG width, ULONG height) {
  rig.context()->RealImageWidth = width;
  rig.context()->RealImageHeight = height;
  InitSensorAe(rig.context());
  return rig.camera.RegisterWrites();
}

Writes Range(const Writes& writes, USHORT first, USHORT last) {
  Writes range;
  for (const auto& w : writes) {
    if (w.first >= first && w.first <= last) range.push_back(w);
  }
  return range;
}

TEST(InitSensorAe, Programs320By240InOrderWithTheExposureTrace) {
  CameraRig rig;
  host::TraceCapture trace;
  const Writes writes = RunFor(rig, 320, 240);
  EXPECT_TRUE(trace.Contains("Initial VELTOB Motolora AE"));
  // Status bit 6 clear: the high exposure byte goes out with bit 6 set.
  EXPECT_EQ(writes,
            (Writes{{0x21B0, 36},   {0x21B1, 26},   {0x21B2, 4},    {0x21B3, 4},    {0x21B4, 22},
                    {0x21B5, 17},   {0x21B6, 31},   {0x21B7, 23},   {0x21B8, 22},   {0x21B9, 17},
                    {0x21BA, 31},   {0x21BB, 23},   {0x21BC, 0x54}, {0x21C1, 20},   {0x21C2, 15},
                    {0x21C3, 40},   {0x21C4, 30},   {0x2A08, 0x4E}, {0x2A06, 1},    {0x2A08, 0x4F},
                    {0x2A10, 0x59}, {0x2A08, 0x4E}, {0x2A10, 0x41}, {0x2A08, 0x10}, {0x2A10, 32}}));
  // The status is read after the sensor transfer ended, the busy bit polled last.
  std::vector<USHORT> reads;
  for (const sim::CommandRecord& r : rig.camera.Commands()) {
    if (r.in) reads.push_back(r.index);
  }
  EXPECT_EQ(reads, (std::vector<USHORT>{0x2A06, 0x2A06, 0x2A06, 0x2A30, 0x2A07, 0x2A07, 0x2A07}));
}

TEST(InitSensorAe, ClampsTheCentreWindowAt640By480) {
  CameraRig rig;
  const Writes writes = RunFor(rig, 640, 480);
  EXPECT_EQ(Range(writes, 0x21C1, 0x21C4),
            (Writes{{0x21C1, 48}, {0x21C2, 30}, {0x21C3, 64}, {0x21C4, 60}}));
  // 608 / 8 = 76 and 448 / 8 = 56; 608 falls in size class 6 (1024), 448 in 5 (512).
  EXPECT_EQ(Range(writes, 0x21B0, 0x21B1), (Writes{{0x21B0, 76}, {0x21B1, 56}}));
  EXPECT_EQ(Range(writes, 0x21BC, 0x21BC), (Writes{{0x21BC, 0x65}}));
}

TEST(InitSensorAe, SizeClassesIncludeTheirThreshold) {
  CameraRig rig;
  const Writes writes = RunFor(rig, 160, 120);  // w = 128, h = 88
  EXPECT_EQ(Range(writes, 0x21BC, 0x21BC), (Writes{{0x21BC, 0x33}}));
}

TEST(InitSensorAe, StatusBit6SendsThePlainHighByte) {
  CameraRig rig;
  rig.camera.WithFirmware([](sim::CameraFirmware& f) { f.SetRegister(0x2A30, 0x40); });
  const Writes writes = RunFor(rig, 320, 240);
  EXPECT_EQ(Range(writes, 0x2A10, 0x2A10), (Writes{{0x2A10, 0x59}, {0x2A10, 0x01}, {0x2A10, 32}}));
}

TEST(InitSensorAe, ASensorThatNeverFinishesIsPolledAThousandTimesEach) {
  CameraRig rig;
  rig.camera.WithFirmware([](sim::CameraFirmware& f) { f.timing.sensorBusyReads = 1'000'000; });
  const Writes writes = RunFor(rig, 320, 240);
  std::size_t start = 0, busy = 0;
  for (const sim::CommandRecord& r : rig.camera.Commands()) {
    start += r.in && r.index == 0x2A06;
    busy += r.in && r.index == 0x2A07;
  }
  EXPECT_EQ(start, 1000u);
  EXPECT_EQ(busy, 1000u);
  EXPECT_EQ(writes.back(), (std::pair<USHORT, UCHAR>{0x2A10, 32}));  // the sequence went on
}

}  // namespace
}  // namespace veltocam::test
