// The capture client against a minidriver of the test's own, for what the
// client itself decides: the buffers its reads carry.
#include "client/capture_client.h"

#include <gtest/gtest.h>

#include <vector>

#include "properties/formats.h"

namespace veltocam::test {
namespace {

std::vector<ULONG> g_readSizes;  // FrameExtent of every read the driver saw

void Complete(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  if (srb->Command < SRB_GET_STREAM_INFO) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  } else {
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
  }
}

void ReceiveData(HW_STREAM_REQUEST_BLOCK* srb) {
  g_readSizes.push_back(srb->CommandData.DataBufferArray->FrameExtent);
  srb->CommandData.DataBufferArray->DataUsed = 0;
  Complete(srb, STATUS_SUCCESS);
}

void ReceiveControl(HW_STREAM_REQUEST_BLOCK* srb) {
  Complete(srb, STATUS_SUCCESS);
}

void ReceiveDevice(HW_STREAM_REQUEST_BLOCK* srb) {
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      static_cast<PORT_CONFIGURATION_INFORMATION*>(srb->CommandData.ConfigInfo)
          ->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
      break;
    case SRB_GET_STREAM_INFO: {
      auto* d = static_cast<HW_STREAM_DESCRIPTOR*>(srb->CommandData.StreamBuffer);
      d->StreamHeader.NumberOfStreams = 1;
      d->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
      break;
    }
    case SRB_OPEN_STREAM:
      srb->StreamObject->ReceiveDataPacket = ReceiveData;
      srb->StreamObject->ReceiveControlPacket = ReceiveControl;
      break;
    default:
      break;
  }
  Complete(srb, STATUS_SUCCESS);
}

NTSTATUS Entry(DRIVER_OBJECT* driver, UNICODE_STRING* path) {
  HW_INITIALIZATION_DATA data{};
  data.HwInitializationDataSize = sizeof data;
  data.HwReceivePacket = ReceiveDevice;
  data.DeviceExtensionSize = 16;
  data.PerRequestExtensionSize = 16;
  data.PerStreamExtensionSize = 16;
  return StreamClassRegisterAdapter(driver, path, &data);
}

// A format as the driver's intersection answers it.
std::vector<std::uint8_t> Format(ULONG index) {
  ULONG count = 0;
  const KS_DATARANGE_VIDEO& range = *StreamFormats(kCaptureStream, &count)[index];
  std::vector<std::uint8_t> format(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  f->DataFormat = range.DataRange;
  f->DataFormat.FormatSize = sizeof *f;
  f->VideoInfoHeader = range.VideoInfoHeader;
  return format;
}

TEST(CaptureClient, ReadsFollowTheStreamsFormatUnlessSizedByTheCaller) {
  g_readSizes.clear();
  DEVICE_OBJECT physical{};
  physical.StackSize = 1;
  host::StreamClassPort port;
  ASSERT_EQ(port.LoadDriver(Entry), STATUS_SUCCESS);
  host::PortDevice* device = nullptr;
  ASSERT_EQ(port.AddDevice(&physical, &device), STATUS_SUCCESS);
  client::CaptureClient capture(port);
  ASSERT_EQ(capture.FindDevice(), STATUS_SUCCESS);
  std::unique_ptr<client::CaptureStream> stream;
  ASSERT_EQ(capture.Open(0, Format(1), &stream), STATUS_SUCCESS);  // 160 x 120
  stream->QueueReads(1);
  stream->QueueReads(1, 1000);
  ASSERT_EQ(stream->SetFormat(Format(4)), STATUS_SUCCESS);  // 640 x 480
  client::CapturedFrame frame;
  ASSERT_TRUE(stream->NextFrame(&frame, 0));  // taken, and queued again
  ASSERT_TRUE(stream->NextFrame(&frame, 0));
  EXPECT_EQ(g_readSizes, (std::vector<ULONG>{28800, 1000, 460800, 1000}));
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  port.RemoveDevice(device);
}

}  // namespace
}  // namespace veltocam::test
