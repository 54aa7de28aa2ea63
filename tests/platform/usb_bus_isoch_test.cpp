// Isochronous transfers on the host bus: 1 ms frames of scheduler time,
// consecutive frames for back-to-back transfers, missed frames, per-packet
// results and the checks on the packet layout.
#include <gtest/gtest.h>

#include "support/usb_test_device.h"

namespace veltocam::testing {
namespace {

using host::AdvanceTime;
using host::Milliseconds;

class UsbIsochTest : public ::testing::Test, public ConfiguredBus {
 protected:
  void SetUp() override { ASSERT_EQ(Configure(1), STATUS_SUCCESS); }

  std::vector<ULONG> FramesSeen() const {
    std::vector<ULONG> frames;
    for (const auto& [endpoint, frame] : device.isoFrames) frames.push_back(frame);
    return frames;
  }
};

std::vector<ULONG> Range(ULONG first, ULONG last) {
  std::vector<ULONG> frames;
  for (ULONG f = first; f <= last; ++f) frames.push_back(f);
  return frames;
}

TEST_F(UsbIsochTest, BackToBackTransfersCoverConsecutiveFramesAndEndWithTheirLastFrame) {
  IsoTransfer a(Pipe(kIsoIn), 32, 128), b(Pipe(kIsoIn), 32, 128);
  UrbSender sa(bus.DeviceObject()), sb(bus.DeviceObject());
  ASSERT_EQ(sa.Send(a.Urb()), STATUS_PENDING);
  ASSERT_EQ(sb.Send(b.Urb()), STATUS_PENDING);
  EXPECT_EQ(a.Transfer().StartFrame, 1u);   // the next frame
  EXPECT_EQ(b.Transfer().StartFrame, 33u);  // right after the first

  AdvanceTime(Milliseconds(33) - 1);
  EXPECT_FALSE(sa.Done());
  AdvanceTime(1);
  ASSERT_TRUE(sa.Done());
  EXPECT_EQ(sa.time, static_cast<std::uint64_t>(Milliseconds(33)));
  EXPECT_EQ(sa.irql, DISPATCH_LEVEL);
  EXPECT_EQ(sa.status, STATUS_SUCCESS);
  EXPECT_EQ(a.Transfer().ErrorCount, 0u);
  for (ULONG i = 0; i < 32; ++i) {
    EXPECT_EQ(a.Packet(i).Length, 128u);
    EXPECT_EQ(a.Packet(i).Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(a.Buffer()[i * 128], static_cast<UCHAR>(1 + i)) << "packet " << i;
  }
  AdvanceTime(Milliseconds(32));
  ASSERT_TRUE(sb.Done());
  EXPECT_EQ(sb.time, static_cast<std::uint64_t>(Milliseconds(65)));
  EXPECT_EQ(FramesSeen(), Range(1, 64));
}

TEST_F(UsbIsochTest, FramesNoTransferCoveredAreNeverAskedFor) {
  IsoTransfer a(Pipe(kIsoIn), 8, 128);
  UrbSender sender(bus.DeviceObject());
  sender.Send(a.Urb());
  AdvanceTime(Milliseconds(9));
  ASSERT_TRUE(sender.Done());
  AdvanceTime(Milliseconds(10));  // the driver is late to resubmit
  sender.Send(a.Urb());
  EXPECT_EQ(a.Transfer().StartFrame, 20u);
  AdvanceTime(Milliseconds(9));
  ASSERT_TRUE(sender.Done());
  std::vector<ULONG> expected = Range(1, 8);
  for (ULONG f : Range(20, 27)) expected.push_back(f);
  EXPECT_EQ(FramesSeen(), expected);
}

TEST_F(UsbIsochTest, PacketErrorsAreCountedAndATransferWhosePacketsAllFailFails) {
  device.onIsoIn = [](UCHAR, ULONG frame, std::span<UCHAR>) {
    return UsbIsoPacket{frame % 4 == 0 ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS, 0};
  };
  IsoTransfer some(Pipe(kIsoIn), 32, 128);
  UrbSender sender(bus.DeviceObject());
  sender.Send(some.Urb());
  AdvanceTime(Milliseconds(33));
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(some->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(some.Transfer().ErrorCount, 8u);
  EXPECT_EQ(some.Packet(3).Status, USBD_STATUS_CRC);  // frame 4
  EXPECT_EQ(some.Packet(4).Length, 0u);               // an empty packet is fine

  device.onIsoIn = [](UCHAR, ULONG, std::span<UCHAR>) {
    return UsbIsoPacket{USBD_STATUS_DEV_NOT_RESPONDING, 0};
  };
  IsoTransfer all(Pipe(kIsoIn), 32, 128);
  sender.Send(all.Urb());
  AdvanceTime(Milliseconds(33));
  EXPECT_EQ(sender.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(all->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(all.Transfer().ErrorCount, 32u);
}

TEST_F(UsbIsochTest, ThePacketLayoutOfTheDriverIsHonouredAndOverrunsFailThePacket) {
  // Two packets: the first has room for 100 bytes only, the second for 200.
  IsoTransfer t(Pipe(kIsoIn), 2, 150);
  t.Packet(1).Offset = 100;
  t.Buffer().assign(300, 0xEE);
  t.Transfer().TransferBuffer = t.Buffer().data();
  t.Transfer().TransferBufferLength = 300;
  UrbSender sender(bus.DeviceObject());
  sender.Send(t.Urb());
  AdvanceTime(Milliseconds(3));
  ASSERT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(t.Packet(0).Status, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(t.Packet(0).Length, 100u);
  EXPECT_EQ(t.Packet(1).Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(t.Packet(1).Length, 128u);
  EXPECT_EQ(t.Buffer()[100], 2);     // frame 2 at the second packet's offset
  EXPECT_EQ(t.Buffer()[228], 0xEE);  // past the 128 bytes sent
  EXPECT_EQ(t.Transfer().ErrorCount, 1u);
}

TEST_F(UsbIsochTest, AlternateSettingZeroCarriesOnlyEmptyPackets) {
  ASSERT_EQ(Configure(0), STATUS_SUCCESS);
  IsoTransfer t(Pipe(kIsoIn), 4, 16);
  UrbSender sender(bus.DeviceObject());
  sender.Send(t.Urb());
  AdvanceTime(Milliseconds(5));
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(t.Packet(i).Length, 0u);
}

TEST_F(UsbIsochTest, AnExplicitStartFrameMustLieAheadAndNotOverlap) {
  AdvanceTime(Milliseconds(100));
  IsoTransfer t(Pipe(kIsoIn), 4, 128);
  t.Transfer().TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  UrbSender sender(bus.DeviceObject());
  t.Transfer().StartFrame = 100;  // the frame in progress
  EXPECT_EQ(sender.Send(t.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(t->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
  t.Transfer().StartFrame = 100 + USBD_ISO_START_FRAME_RANGE;
  EXPECT_EQ(sender.Send(t.Urb()), STATUS_INVALID_PARAMETER);
  t.Transfer().StartFrame = 110;
  ASSERT_EQ(sender.Send(t.Urb()), STATUS_PENDING);
  IsoTransfer overlapping(Pipe(kIsoIn), 4, 128);
  overlapping.Transfer().TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  overlapping.Transfer().StartFrame = 112;
  UrbSender other(bus.DeviceObject());
  EXPECT_EQ(other.Send(overlapping.Urb()), STATUS_INVALID_PARAMETER);
  AdvanceTime(Milliseconds(14));
  ASSERT_TRUE(sender.Done());
  EXPECT_EQ(sender.time, static_cast<std::uint64_t>(Milliseconds(114)));
  EXPECT_EQ(FramesSeen(), Range(110, 113));
}

TEST_F(UsbIsochTest, MalformedTransfersAreRefused) {
  UrbSender sender(bus.DeviceObject());
  auto refused = [&](IsoTransfer& t) {
    const bool rejected = sender.Send(t.Urb()) == STATUS_INVALID_PARAMETER;
    return rejected && t->UrbHeader.Status == USBD_STATUS_INVALID_PARAMETER;
  };
  IsoTransfer outside(Pipe(kIsoIn), 4, 128);
  outside.Packet(3).Offset = 512;
  EXPECT_TRUE(refused(outside));
  IsoTransfer falling(Pipe(kIsoIn), 4, 128);
  falling.Packet(2).Offset = 10;
  EXPECT_TRUE(refused(falling));
  IsoTransfer none(Pipe(kIsoIn), 4, 128);
  none.Transfer().NumberOfPackets = 0;
  EXPECT_TRUE(refused(none));
  IsoTransfer tooMany(Pipe(kIsoIn), 4, 128);
  tooMany.Transfer().NumberOfPackets = 300;  // and the URB is too short for them
  EXPECT_TRUE(refused(tooMany));
  IsoTransfer shortUrb(Pipe(kIsoIn), 4, 128);
  shortUrb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(3));
  EXPECT_TRUE(refused(shortUrb));
  IsoTransfer noBuffer(Pipe(kIsoIn), 4, 128);
  noBuffer.Transfer().TransferBuffer = nullptr;
  EXPECT_TRUE(refused(noBuffer));
  IsoTransfer onBulk(Pipe(kBulkIn), 4, 128);
  EXPECT_TRUE(refused(onBulk));
  EXPECT_TRUE(device.isoFrames.empty());
}

TEST_F(UsbIsochTest, PacketsAfterThePortIsDisabledFail) {
  IsoTransfer t(Pipe(kIsoIn), 8, 128);
  UrbSender sender(bus.DeviceObject());
  sender.Send(t.Urb());
  AdvanceTime(Milliseconds(4) + 5000);  // in frame 4
  bus.DisablePort();
  AdvanceTime(Milliseconds(5));
  ASSERT_TRUE(sender.Done());
  EXPECT_EQ(t.Packet(3).Status, USBD_STATUS_SUCCESS);  // frame 4 went
  EXPECT_EQ(t.Packet(4).Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(t.Transfer().ErrorCount, 4u);
}

}  // namespace
}  // namespace veltocam::testing
