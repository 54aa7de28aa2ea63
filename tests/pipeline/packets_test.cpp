// Packet framing: frame starts, sequence bytes, damage marks.
#include <gtest/gtest.h>

#include <vector>

#include "support/device_extension.h"
#include "pipeline/packets.h"
#include "platform/host/trace.h"

namespace {

constexpr USHORT kMaxPacket = 1023;

class PacketFraming : public testing::Test {
 protected:
  void SetUp() override {
    interface_.Length = sizeof(USBD_INTERFACE_INFORMATION);
    interface_.NumberOfPipes = 1;
    interface_.Pipes[0].MaximumPacketSize = kMaxPacket;
    ctx()->Interface = &interface_;
    ctx()->TotalSyncByte = 2;
    ctx()->SyncByte0 = 0xFF;
    ctx()->SyncByte1 = 0xFF;
    ctx()->NextSyncByte = 0xFF;
    ctx()->FrameValid = 1;
  }
  void TearDown() override { ctx()->Interface = nullptr; }

  DeviceContext* ctx() { return extension_.context(); }

  struct Result {
    ULONG count;
    UCHAR frameComplete;
  };

  Result Feed(std::vector<UCHAR> bytes, USBD_STATUS status = USBD_STATUS_SUCCESS,
              FrameMark* frame = nullptr) {
    USBD_ISO_PACKET_DESCRIPTOR packet{0, static_cast<ULONG>(bytes.size()), status};
    // The transfer buffer always has room for a full packet; what lies past
    // Length is left over from earlier packets.
    bytes.resize(kMaxPacket, 0xFF);
    UCHAR frameComplete = 0;
    ULONG flags = 0, offset = 0;
    ULONG n = ProcessPacket(nullptr, ctx(), frame, nullptr, nullptr, &packet, bytes.data(),
                            &frameComplete, &flags, &offset);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(offset, 0u);
    return {n, frameComplete};
  }

  veltocam::test::DeviceExtension extension_;
  USBD_INTERFACE_INFORMATION interface_{};
};

TEST_F(PacketFraming, AFullSequenceIsOneUndamagedFrame) {
  Result start = Feed({0xFF, 0xFF, 0x10});
  EXPECT_EQ(start.count, kMaxPacket);
  EXPECT_EQ(start.frameComplete, 1);
  for (int s = 0; s <= 0xFE; ++s) {
    Result r = Feed({static_cast<UCHAR>(s), 0x20});
    ASSERT_EQ(r.count, kMaxPacket) << "sequence byte " << s;
    EXPECT_EQ(r.frameComplete, 0);
  }
  // With the modulus 0xFF the byte after 0xFE is 0, never 0xFF.
  EXPECT_EQ(ctx()->NextSequenceByte, 0);
  EXPECT_EQ(Feed({0x00}).count, kMaxPacket);
  EXPECT_TRUE(IsFrameValid(ctx()));
  EXPECT_EQ(ctx()->SequenceErrorCount, 0u);
}

TEST_F(PacketFraming, ASkippedSequenceByteDamagesTheRestOfTheFrame) {
  Feed({0xFF, 0xFF});
  EXPECT_EQ(Feed({0x00}).count, kMaxPacket);
  EXPECT_EQ(Feed({0x01}).count, kMaxPacket);
  for (UCHAR s : {0x03, 0x04, 0x05}) EXPECT_EQ(Feed({s}).count, 0u);
  EXPECT_EQ(ctx()->SequenceErrorCount, 3u);
  EXPECT_FALSE(IsFrameValid(ctx()));
  // The next frame start resynchronises.
  EXPECT_EQ(Feed({0xFF, 0xFF}).frameComplete, 1);
  EXPECT_EQ(Feed({0x00}).count, kMaxPacket);
}

TEST_F(PacketFraming, NoDataMarkerIsDroppedButNotCountedAsASequenceError) {
  Feed({0xFF, 0xFF});
  EXPECT_EQ(Feed({0xFF, 0x00}).count, 0u);
  EXPECT_EQ(ctx()->SequenceErrorCount, 0u);
  EXPECT_FALSE(IsFrameValid(ctx()));
  EXPECT_EQ(ctx()->NextSequenceByte, 0);
}

TEST_F(PacketFraming, ModulusZeroWrapsOnlyThroughTheNoDataMarker) {
  ctx()->NextSyncByte = 0;
  Feed({0xFF, 0xFF});
  ctx()->NextSequenceByte = 0xFE;
  EXPECT_EQ(Feed({0xFE}).count, kMaxPacket);
  EXPECT_EQ(ctx()->NextSequenceByte, 0xFF);
  // 0xFF is taken as the no-data marker before any sequence test.
  EXPECT_EQ(Feed({0xFF, 0x01}).count, 0u);
  EXPECT_EQ(ctx()->SequenceErrorCount, 0u);
  EXPECT_FALSE(IsFrameValid(ctx()));
}

TEST_F(PacketFraming, OneSyncByteIgnoresTheSecondByte) {
  ctx()->TotalSyncByte = 1;
  ctx()->SyncByte0 = 0xA5;
  EXPECT_EQ(Feed({0xA5, 0x00}).frameComplete, 1);
  EXPECT_EQ(Feed({0xA5, 0x37}).frameComplete, 1);
}

TEST_F(PacketFraming, OtherSyncLengthsNeverStartAFrame) {
  for (UCHAR total : {0, 3}) {
    ctx()->TotalSyncByte = total;
    Result r = Feed({0xFF, 0xFF});
    EXPECT_EQ(r.frameComplete, 0);
    EXPECT_EQ(r.count, 0u);  // and 0xFF is then a no-data packet
  }
}

TEST_F(PacketFraming, AOneBytePacketCannotCarryATwoByteMarker) {
  Feed({0xFF, 0xFF});
  // Byte 1 is past the packet (stale 0xFF in the buffer): not a frame start.
  Result r = Feed({0xFF});
  EXPECT_EQ(r.frameComplete, 0);
  EXPECT_EQ(r.count, 0u);
}

TEST_F(PacketFraming, AFailedPacketIsTracedAndDamagesTheFrameButIsStillTaken) {
  veltocam::host::TraceCapture trace;
  Feed({0xFF, 0xFF});
  Result r = Feed({0x00, 0x55}, USBD_STATUS_CRC);
  EXPECT_EQ(r.count, kMaxPacket);
  EXPECT_EQ(ctx()->NextSequenceByte, 1);
  EXPECT_FALSE(IsFrameValid(ctx()));
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"not suc"}));
}

TEST_F(PacketFraming, AnEmptyFailedPacketDamagesTheFrameWithoutMovingTheSequence) {
  veltocam::host::TraceCapture trace;
  Feed({0xFF, 0xFF});
  EXPECT_EQ(Feed({}, USBD_STATUS_DATA_UNDERRUN).count, 0u);
  EXPECT_EQ(ctx()->NextSequenceByte, 0);
  EXPECT_FALSE(IsFrameValid(ctx()));
  EXPECT_EQ(trace.Count("not suc"), 1u);
  // An empty packet without error is simply nothing.
  MarkFrameValid(ctx());
  EXPECT_EQ(Feed({}).count, 0u);
  EXPECT_TRUE(IsFrameValid(ctx()));
}

TEST_F(PacketFraming, AFailedFrameStartStartsADamagedFrame) {
  Result r = Feed({0xFF, 0xFF}, USBD_STATUS_BTSTUFF);
  EXPECT_EQ(r.frameComplete, 1);
  EXPECT_EQ(r.count, kMaxPacket);
  EXPECT_FALSE(IsFrameValid(ctx()));
}

// Each request carries the damage of its own frame, written when the next
// frame starts, so the frame work item never reads a flag that the next
// frame's packets are changing.
TEST_F(PacketFraming, AFramesDamageTravelsWithItsRequest) {
  FrameMark first{0x5A, {}}, second{0x5A, {}};
  ULONG length = 99;
  Feed({0xFF, 0xFF});
  NewFrame(ctx(), &first, 0, &length);
  EXPECT_EQ(first.Damaged, 0);
  EXPECT_EQ(length, 99u);
  Feed({0x00}, USBD_STATUS_SUCCESS, &first);
  Feed({0x02}, USBD_STATUS_SUCCESS, &first);  // one packet lost
  Feed({0xFF, 0xFF}, USBD_STATUS_SUCCESS, &first);
  EXPECT_EQ(first.Damaged, 1);
  EXPECT_TRUE(IsFrameValid(ctx()));  // the new frame starts intact

  NewFrame(ctx(), &second, 0, &length);
  Feed({0x00}, USBD_STATUS_SUCCESS, &second);
  Feed({0xFF, 0xFF}, USBD_STATUS_CRC, &second);  // the failure belongs to the third frame
  EXPECT_EQ(second.Damaged, 0);
  EXPECT_FALSE(IsFrameValid(ctx()));
}

TEST_F(PacketFraming, TheBasicFormNeverReportsAStillFrame) {
  USBD_ISO_PACKET_DESCRIPTOR packet{0, 2, USBD_STATUS_SUCCESS};
  UCHAR bytes[2] = {0xFF, 0xFF};
  UCHAR frameComplete = 0, still = 0x5A;
  EXPECT_EQ(ProcessPacketBasic(nullptr, ctx(), nullptr, nullptr, nullptr, &packet, bytes,
                               &frameComplete, &still),
            kMaxPacket);
  EXPECT_EQ(frameComplete, 1);
  EXPECT_EQ(still, 0);
}

}  // namespace
