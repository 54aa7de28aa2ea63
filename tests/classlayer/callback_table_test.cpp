// Installing the callback table, and which form the class layer calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlayer/callback_calls.h"
#include "classlayer/device_layer_services.h"
#include "support/device_extension.h"

namespace {

std::vector<std::string> g_calls;

NTSTATUS ExtendedStart(DEVICE_OBJECT*, PVOID, ULONG stream) {
  g_calls.push_back("extended start " + std::to_string(stream));
  return STATUS_SUCCESS;
}
NTSTATUS BasicStart(DEVICE_OBJECT*, PVOID) {
  g_calls.push_back("basic start");
  return STATUS_SUCCESS;
}
ULONG BasicPacket(DEVICE_OBJECT*, PVOID, PVOID, USBD_ISO_PACKET_DESCRIPTOR*, UCHAR*,
                  USBD_ISO_PACKET_DESCRIPTOR*, UCHAR*, UCHAR* frameComplete, UCHAR* still) {
  *frameComplete = 1;
  *still = 1;
  return 17;
}

class CallbackTables : public testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    extended_.StartCapture = ExtendedStart;
    basic_.StartCapture = BasicStart;
    basic_.ProcessPacket = BasicPacket;
  }
  veltocam::test::DeviceExtension ext_;
  DeviceCallbackTable extended_{};
  BasicCallbackTable basic_{};
};

TEST_F(CallbackTables, AnExtendedTableOfVersion0x200IsInForce) {
  EXPECT_EQ(InstallCallbackTable(ext_.context(), &extended_, 0x200, 0x0C), 0x200u);
  AdoptBasicCallbackTable(ext_.device(), &basic_);  // later basic table does not replace it
  EXPECT_EQ(ext_.device()->ControlFlags, 0x0Cu);
  EXPECT_EQ(CallStartCapture(ext_.device(), 1), STATUS_SUCCESS);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"extended start 1"}));
}

TEST_F(CallbackTables, Version0x100LeavesTheBasicTableInForce) {
  EXPECT_EQ(InstallCallbackTable(ext_.context(), &extended_, 0x100, 0x0C), 0x200u);
  AdoptBasicCallbackTable(ext_.device(), &basic_);
  EXPECT_FALSE(HasExtendedCallbackTable(ext_.device()));
  EXPECT_EQ(ext_.device()->ControlFlags, 0u);
  CallStartCapture(ext_.device(), 1);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"basic start"}));

  // The basic packet callback's still-frame byte reaches the class layer as
  // the still-frame flag; it has no data offset.
  UCHAR frameComplete = 0;
  ULONG flags = 0, offset = 99;
  EXPECT_EQ(CallProcessPacket(ext_.device(), nullptr, nullptr, nullptr, nullptr, nullptr,
                              &frameComplete, &flags, &offset),
            17u);
  EXPECT_EQ(frameComplete, 1);
  EXPECT_EQ(flags, kPacketStillFrame);
  EXPECT_EQ(offset, 0u);
}

TEST_F(CallbackTables, MissingEntriesAreAnsweredWithoutCallingThrough) {
  AdoptBasicCallbackTable(ext_.device(), &basic_);
  EXPECT_EQ(CallInitialize(ext_.device()), STATUS_SUCCESS);
  EXPECT_EQ(CallAllocateBandwidth(ext_.device(), nullptr, nullptr, 0), STATUS_NOT_IMPLEMENTED);
  ULONG length = 5;
  CallNewFrame(ext_.device(), nullptr, 0, &length);
  EXPECT_EQ(length, 5u);
}

}  // namespace
