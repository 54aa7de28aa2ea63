// The class layer's part of the stream information: the device event is
// announced only when the device layer's control flags ask for it, and every
// stream the pipe classification gives gets the fixed fields.
#include <gtest/gtest.h>

#include <vector>

#include "classlayer/device.h"
#include "classlayer/device_events.h"
#include "support/device_extension.h"

namespace veltocam::test {
namespace {

TEST(StreamInformation, TheDeviceEventFollowsTheControlFlagsAndEveryStreamIsDescribed) {
  struct Case {
    ULONG controlFlags;
    ULONG streams;
    bool event;
  };
  const Case cases[] = {{0x0C, 1, true}, {0x04, 1, false}, {0x08, 2, true}, {0x00, 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.controlFlags);
    DeviceExtension ext;
    ext.device()->ControlFlags = c.controlFlags;
    ext.device()->NumberOfStreams = c.streams;
    std::vector<std::uint64_t> buffer(
        (sizeof(HW_STREAM_HEADER) + 2 * sizeof(HW_STREAM_INFORMATION)) / 8 + 1, 0);
    auto* descriptor = reinterpret_cast<HW_STREAM_DESCRIPTOR*>(buffer.data());
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_STREAM_INFO;
    srb.CommandData.StreamBuffer = descriptor;
    ASSERT_EQ(GetStreamInformation(ext.device(), &srb), STATUS_SUCCESS);

    const HW_STREAM_HEADER& h = descriptor->StreamHeader;
    EXPECT_EQ(h.NumberOfStreams, c.streams);
    EXPECT_EQ(h.NumDevEventArrayEntries, c.event ? 1u : 0u);
    EXPECT_EQ(h.DeviceEventRoutine, c.event ? &EventEnable : nullptr);
    if (c.event) {
      EXPECT_TRUE(*h.DeviceEventsArray[0].Set == kSnapshotEventSet);
      ASSERT_EQ(h.DeviceEventsArray[0].EventsCount, 1u);
      EXPECT_EQ(h.DeviceEventsArray[0].EventItem[0].EventId, 0u);
    }
    for (ULONG n = 0; n < c.streams; ++n) {
      const HW_STREAM_INFORMATION& s = descriptor->StreamInfo[n];
      const GUID& name = n == 0 ? PINNAME_VIDEO_CAPTURE : PINNAME_VIDEO_STILL;
      EXPECT_TRUE(*s.Name == name && *s.Category == name);
      EXPECT_EQ(s.NumberOfPossibleInstances, 1u);
      EXPECT_EQ(s.DataFlow, KSPIN_DATAFLOW_OUT);
      EXPECT_EQ(s.NumStreamPropArrayEntries, 2u);
    }
  }
}

}  // namespace
}  // namespace veltocam::test
