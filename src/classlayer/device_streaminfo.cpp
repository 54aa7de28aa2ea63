// The class layer's part of the stream information: the stream count from
// the pipe classification, the topology, the snapshot event, and each
// stream's fixed fields and stream property sets.
#include "classlayer/device.h"
#include "classlayer/device_events.h"

namespace {

constexpr GUID kTopologyCategories[] = {KSCATEGORY_VIDEO, PINNAME_VIDEO_STILL, KSCATEGORY_CAPTURE};
constexpr KSTOPOLOGY kTopology = {3, kTopologyCategories, 0, nullptr, 0, nullptr, nullptr, 0};

constexpr KSEVENT_ITEM kSnapshotEventItem = {kSnapshotEventId, 0, 0, nullptr, nullptr, nullptr};
constexpr KSEVENT_SET kDeviceEventSet = {&kSnapshotEventSet, 1, &kSnapshotEventItem};

// The stream properties the class layer answers: the allocator framing of
// the connection set and the current dropped frames.
constexpr ULONG kConnectionAllocatorFraming = 3;
constexpr ULONG kDroppedFramesCurrent = 0;
constexpr ULONG kPropertyRequestSize = 24;       // set GUID, id, flags
constexpr ULONG kAllocatorFramingSize = 24;      // requirements, pool, frames, size, alignment
constexpr ULONG kDroppedFramesCurrentSize = 48;  // property, picture number, drops, frame size
constexpr KSPROPERTY_ITEM kConnectionItems[] = {{kConnectionAllocatorFraming, TRUE,
                                                 kPropertyRequestSize, kAllocatorFramingSize, FALSE,
                                                 nullptr, 0, nullptr, nullptr, 0}};
constexpr KSPROPERTY_ITEM kDroppedFramesItems[] = {{kDroppedFramesCurrent, TRUE,
                                                    kPropertyRequestSize, kDroppedFramesCurrentSize,
                                                    FALSE, nullptr, 0, nullptr, nullptr, 0}};
constexpr KSPROPERTY_SET kStreamPropertySets[] = {
    {&KSPROPSETID_Connection, 1, kConnectionItems, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr}};

}  // namespace

NTSTATUS GetStreamInformation(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb) {
  auto* descriptor = static_cast<HW_STREAM_DESCRIPTOR*>(srb->CommandData.StreamBuffer);
  HW_STREAM_HEADER& header = descriptor->StreamHeader;
  header.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  header.NumberOfStreams = device->NumberOfStreams;
  header.Topology = &kTopology;
  if ((device->ControlFlags & kDeviceEvents) != 0) {
    header.NumDevEventArrayEntries = 1;
    header.DeviceEventsArray = &kDeviceEventSet;
    header.DeviceEventRoutine = EventEnable;
  }
  HW_STREAM_INFORMATION* streams = descriptor->StreamInfo;
  for (ULONG n = 0; n < device->NumberOfStreams; ++n) {
    HW_STREAM_INFORMATION& info = streams[n];
    info.NumberOfPossibleInstances = 1;
    info.DataFlow = KSPIN_DATAFLOW_OUT;
    info.DataAccessible = TRUE;
    info.Category = info.Name = n == 0 ? &PINNAME_VIDEO_CAPTURE : &PINNAME_VIDEO_STILL;
    info.NumStreamPropArrayEntries = sizeof kStreamPropertySets / sizeof kStreamPropertySets[0];
    info.StreamPropertiesArray = kStreamPropertySets;
  }
  return STATUS_SUCCESS;
}
