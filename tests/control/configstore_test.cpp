// The configuration store: key paths, the gate on the CONTROL and command
// values with its exceptions, the capture values, the register list and the
// white-balance save.
#include "control/configstore.h"

#include <gtest/gtest.h>

#include "platform/host/printf_engine.h"
#include "platform/host/registry_store.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

using host::GetRegistryDword;
using host::SetRegistryDword;

constexpr const char* kRoot = "\\Registry\\MACHINE\\SOFTWARE\\Test Camera";
const std::string kControl = std::string(kRoot) + "\\CONTROL";
const std::string kCommands = std::string(kRoot) + "\\VENDORCOMMAND";
const std::string kStandard = std::string(kRoot) + "\\STANDARD";

std::string Narrow(const WCHAR* text) {
  return host::ToUtf8(std::u16string(text));
}

class ConfigStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(ProductName, "Test Camera", 12);
    BuildRegistryPaths(ctx());
  }
  DeviceContext* ctx() { return rig_.context(); }

  CameraRig rig_;
};

TEST_F(ConfigStoreTest, KeyPathsAreNamedAfterTheProduct) {
  EXPECT_EQ(Narrow(ctx()->ControlKeyPath), kControl);
  EXPECT_EQ(Narrow(ctx()->VideoProcAmpKeyPath), std::string(kRoot) + "\\VIDEOPROCAMP");
  EXPECT_EQ(Narrow(ctx()->HwSnapKeyPath), std::string(kRoot) + "\\HWSNAP");
  EXPECT_EQ(Narrow(ctx()->DefaultKeyPath), std::string(kRoot) + "\\DEFAULT");
  EXPECT_EQ(Narrow(ctx()->HwStateKeyPath), std::string(kRoot) + "\\HWSTATE");
  EXPECT_EQ(Narrow(ctx()->BufferKeyPath), std::string(kRoot) + "\\BUFFER");
  EXPECT_EQ(Narrow(ctx()->SnapKeyPath), std::string(kRoot) + "\\SNAP");
  EXPECT_EQ(Narrow(ctx()->VendorCommandKeyPath), kCommands);
  EXPECT_EQ(Narrow(ctx()->GuidKeyPath), std::string(kRoot) + "\\GUID");
  EXPECT_EQ(Narrow(ctx()->GoodFrameKeyPath), std::string(kRoot) + "\\GoodFrame");
}

TEST_F(ConfigStoreTest, WithoutAControlKeyEveryGatedValueTakesItsDefault) {
  DebugMessage = 1;
  RtlFillMemory(ctx()->VendorCommand, sizeof ctx()->VendorCommand, 0x11);
  EXPECT_FALSE(NT_SUCCESS(LoadControlSettings(ctx())));
  EXPECT_EQ(ctx()->ApplyRegistryValues, 0u);
  EXPECT_EQ(DebugMessage, 0u);
  EXPECT_EQ(ctx()->TotalSyncByte, 2);
  EXPECT_EQ(ctx()->SyncByte0, 0xFF);
  EXPECT_EQ(ctx()->SyncByte1, 0xFF);
  EXPECT_EQ(ctx()->NextSyncByte, 0xFF);
  EXPECT_EQ(ctx()->PropertyByteOffset, 15);
  EXPECT_EQ(ctx()->AeBandingType, 1);
  EXPECT_EQ(ctx()->AwbMode, 255u);
  EXPECT_EQ(ctx()->QTableIndex, 3);
  EXPECT_EQ(ctx()->DriverInitial, 0);
  EXPECT_EQ(ctx()->SoftwareAeAwb, 0);
  EXPECT_EQ(ctx()->DefaultWhiteBalance, 38);
  for (const VendorCommandDescriptor& d : ctx()->VendorCommand) {
    EXPECT_EQ(d.Request, kCommandNotConfigured);
    EXPECT_EQ(d.Index, 0xFFFF);
    EXPECT_EQ(d.Value, 0xFFFF);
    EXPECT_EQ(d.Length, 0xFFFF);
  }
}

TEST_F(ConfigStoreTest, WithTheGateOffOnlyTheQtableAndPowerOnAddressesAreTaken) {
  SetRegistryDword(kControl, "ApplyRegistryValues", 0);
  SetRegistryDword(kControl, "TotalSyncByte", 1);
  SetRegistryDword(kCommands, "SetQtable_Request", 0x41);
  SetRegistryDword(kCommands, "SetQtable_Index", 2);
  SetRegistryDword(kCommands, "SetQtable_Value", 9);
  SetRegistryDword(kCommands, "TurnOnGpioPower_Index", 5);
  SetRegistryDword(kCommands, "SetPcCamStart_Request", 0x27);
  LoadControlSettings(ctx());
  EXPECT_EQ(ctx()->TotalSyncByte, 2);
  const VendorCommandDescriptor& q = ctx()->VendorCommand[SetQtable];
  EXPECT_EQ(q.Request, 0x41);
  EXPECT_EQ(q.Index, 2);
  EXPECT_EQ(q.Value, 0xFFFF);
  EXPECT_EQ(q.Length, 0xFFFF);
  EXPECT_EQ(ctx()->VendorCommand[TurnOnGpioPower].Request, kCommandNotConfigured);
  EXPECT_EQ(ctx()->VendorCommand[TurnOnGpioPower].Index, 5);
  EXPECT_EQ(ctx()->VendorCommand[SetPcCamStart].Request, kCommandNotConfigured);
}

TEST_F(ConfigStoreTest, OnlyApplyRegistryValuesOfOneOpensTheGate) {
  SetRegistryDword(kControl, "TotalSyncByte", 0x101);  // the low byte is kept
  SetRegistryDword(kControl, "DebugMessage", 1);
  SetRegistryDword(kCommands, "SetPcCamStart_Request", 0x27);
  SetRegistryDword(kCommands, "SetPcCamStart_Index", 0x10001);
  for (ULONG apply : {2u, 1u}) {
    SetRegistryDword(kControl, "ApplyRegistryValues", apply);
    LoadControlSettings(ctx());
    EXPECT_EQ(ctx()->ApplyRegistryValues, apply);
    EXPECT_EQ(ctx()->TotalSyncByte, apply == 1 ? 1 : 2);
    EXPECT_EQ(DebugMessage, apply == 1 ? 1u : 0u);
    EXPECT_EQ(ctx()->VendorCommand[SetPcCamStart].Request, apply == 1 ? 0x27 : 0xFF);
    EXPECT_EQ(ctx()->VendorCommand[SetPcCamStart].Index, apply == 1 ? 1 : 0xFFFF);
  }
  DebugMessage = 0;
}

TEST_F(ConfigStoreTest, AValueOfAnotherTypeCountsAsUnreadable) {
  SetRegistryDword(kControl, "ApplyRegistryValues", 1);
  host::SetRegistryString(kControl, "QTableIndex", "a long text that is no number");
  const std::uint8_t eight[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  host::SetRegistryBinary(kControl, "SyncByte0", eight);
  ULONG value = 0xDEAD;
  EXPECT_FALSE(NT_SUCCESS(QueryDword(ctx(), ctx()->ControlKeyPath, "QTableIndex", &value)));
  EXPECT_EQ(value, 0u);
  LoadControlSettings(ctx());
  EXPECT_EQ(ctx()->QTableIndex, 3);
  EXPECT_EQ(ctx()->SyncByte0, 0xFF);
  EXPECT_EQ(ctx()->SyncByte1, 0xFF);  // the field after it is untouched
}

TEST_F(ConfigStoreTest, CaptureSettingsAreUngatedAndZeroWhenMissing) {
  SetRegistryDword(kControl, "ApplyRegistryValues", 1);
  SetRegistryDword(kControl, "AWBMODE", 0x1FF);
  SetRegistryDword(kControl, "PacketSizeMax", 8);
  SetRegistryDword(kControl, "Flip", 1);
  LoadControlSettings(ctx());
  EXPECT_EQ(ctx()->AeBandingType, 1);  // the gated default
  LoadCaptureSettings(ctx());
  EXPECT_EQ(ctx()->AeBandingType, 0);  // missing: 0, not the default
  EXPECT_EQ(ctx()->AwbMode, 0xFFu);
  EXPECT_EQ(ctx()->PacketSizeMax, 8);
  EXPECT_EQ(Flip, 1);
  EXPECT_EQ(ctx()->NoSensorSize, 0);
}

TEST_F(ConfigStoreTest, TheRegisterListIsSentInOrderAsPlainRegisterWrites) {
  SetRegistryDword(kStandard, "Num", 4);
  SetRegistryDword(kStandard, "Ini0", 0x21B012);
  SetRegistryDword(kStandard, "Ini1", 0x2A0801);
  SetRegistryDword(kStandard, "Ini3", 0x1FFFF);  // Ini2 is missing
  EXPECT_EQ(RunStandardInitList(ctx()), STATUS_SUCCESS);
  using Writes = std::vector<std::pair<USHORT, UCHAR>>;
  EXPECT_EQ(rig_.camera.RegisterWrites(),
            (Writes{{0x21B0, 0x12}, {0x2A08, 0x01}, {0x0000, 0x00}, {0x01FF, 0xFF}}));
  // No handshake: nothing but the four writes went out.
  EXPECT_EQ(rig_.camera.Commands().size(), 4u);
}

TEST_F(ConfigStoreTest, NoRegisterListSendsNothing) {
  EXPECT_FALSE(NT_SUCCESS(RunStandardInitList(ctx())));
  for (ULONG num : {0u, 0xFFFFFFFFu}) {
    SetRegistryDword(kStandard, "Num", num);
    RunStandardInitList(ctx());
  }
  EXPECT_TRUE(rig_.camera.Commands().empty());
}

TEST_F(ConfigStoreTest, WhiteBalanceIsSavedOnlyWhenTheStoreIsApplied) {
  host::CreateRegistryKey(kControl);
  AutoWhiteBalanceSetting = 7;
  ctx()->AeBandingType = 2;
  ctx()->AwbMode = 3;
  for (ULONG apply : {0u, 2u}) {
    ctx()->ApplyRegistryValues = apply;
    SaveAwbSettings(ctx());
    EXPECT_TRUE(host::RegistryValues(kControl).empty());
  }
  for (ULONG apply : {1u, 0xFFFFFFFFu}) {
    host::DeleteRegistryKey(kControl);
    host::CreateRegistryKey(kControl);
    ctx()->ApplyRegistryValues = apply;
    EXPECT_EQ(SaveAwbSettings(ctx()), STATUS_SUCCESS);
    std::vector<std::string> names;
    for (const host::RegistryValue& v : host::RegistryValues(kControl)) names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ApplyRegistryValues", "AutoWhiteBalanceSetting",
                                               "AEBANDINGTYPE", "AWBMODE"}));
    EXPECT_EQ(GetRegistryDword(kControl, "ApplyRegistryValues"), 1u);
    EXPECT_EQ(GetRegistryDword(kControl, "AutoWhiteBalanceSetting"), 7u);
    EXPECT_EQ(GetRegistryDword(kControl, "AEBANDINGTYPE"), 2u);
    EXPECT_EQ(GetRegistryDword(kControl, "AWBMODE"), 3u);
  }
}

}  // namespace
}  // namespace veltocam::test
