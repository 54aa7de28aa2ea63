// Bringing the simulated camera up as far as identification, the settings of
// the shipped camera model, the register list, the exposure set-up and the
// start-up commands go, with the firmware's own timing.
#include <gtest/gtest.h>

#include "control/configstore.h"
#include "control/identification.h"
#include "control/vendorcommands.h"
#include "pipeline/exposure.h"
#include "platform/host/registry_store.h"
#include "sim/camera_model.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

const std::string kModelKey =
    std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName;

class BringUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim::LoadCameraModelSettings());
    ASSERT_EQ(rig_.SelectConfiguration(), STATUS_SUCCESS);
    USHORT pipes[1] = {};
    ASSERT_EQ(Configure(rig_.bus.DeviceObject(), ctx(), rig_.device()->InterfaceInfo, nullptr, 1,
                        pipes, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(Initialize(rig_.bus.DeviceObject(), ctx()), STATUS_SUCCESS);
    BuildRegistryPaths(ctx());
    LoadControlSettings(ctx());
    LoadCaptureSettings(ctx());
  }
  void TearDown() override {
    UnInitialize(rig_.bus.DeviceObject(), ctx());
    DebugMessage = 0;
  }
  DeviceContext* ctx() { return rig_.context(); }

  CameraRig rig_;
};

TEST_F(BringUpTest, TheShippedSettingsDescribeThisCamera) {
  EXPECT_STREQ(reinterpret_cast<const char*>(ProductName), sim::kCameraProductName);
  EXPECT_EQ(ctx()->ApplyRegistryValues, 1u);
  EXPECT_EQ(ctx()->TotalSyncByte, 2);
  EXPECT_EQ(ctx()->SyncByte0, 0xFF);
  EXPECT_EQ(ctx()->SyncByte1, 0xFF);
  EXPECT_EQ(ctx()->NextSyncByte, 0xFF);
  EXPECT_EQ(ctx()->PropertyByteOffset, 15);
  EXPECT_EQ(ctx()->QTableIndex, 3);
  EXPECT_EQ(ctx()->DriverInitial, 1);
  EXPECT_EQ(ctx()->SoftwareAeAwb, 1);
  EXPECT_EQ(ctx()->PacketSizeMax, 8);
  EXPECT_EQ(host::GetRegistryDword(kModelKey + "\\CONTROL", "IMAGETYPE"), 5u);
  // The command set the driver loads is the one the firmware understands.
  const sim::CommandSet& firmware = sim::DefaultCommandSet();
  static_assert(sim::kCameraCommandCount == kVendorCommandCount);
  for (int i = 0; i < kVendorCommandCount; ++i) {
    const VendorCommandDescriptor& d = ctx()->VendorCommand[i];
    EXPECT_EQ(d.Request, firmware[i].request) << VendorCommandName(VendorCommandId(i));
    EXPECT_EQ(d.Index, firmware[i].index) << VendorCommandName(VendorCommandId(i));
    EXPECT_EQ(d.Value, firmware[i].value) << VendorCommandName(VendorCommandId(i));
    EXPECT_EQ(d.Length, firmware[i].length) << VendorCommandName(VendorCommandId(i));
  }
  // Every key the driver writes to exists.
  for (const char* key :
       {"HWSTATE", "HWSNAP", "GoodFrame", "BUFFER", "SNAP", "VIDEOPROCAMP", "GUID"}) {
    EXPECT_TRUE(host::RegistryKeyExists(kModelKey + "\\" + key)) << key;
  }
}

TEST_F(BringUpTest, TheRegisterListAndExposureSetUpReachTheCamera) {
  rig_.camera.ClearCommands();
  RunStandardInitList(ctx());
  const std::string standard = kModelKey + "\\STANDARD";
  const ULONG count = host::GetRegistryDword(standard, "Num").value_or(0);
  ASSERT_GT(count, 0u);
  for (ULONG n = 0; n < count; ++n) {
    const ULONG entry = *host::GetRegistryDword(standard, "Ini" + std::to_string(n));
    EXPECT_EQ(rig_.camera.Register(static_cast<USHORT>(entry >> 8)), entry & 0xFF) << n;
  }
  EXPECT_EQ(rig_.camera.RegisterWrites().size(), count);

  ctx()->RealImageWidth = 320;
  ctx()->RealImageHeight = 240;
  InitSensorAe(ctx());
  const UCHAR windows[13] = {36, 26, 4, 4, 22, 17, 31, 23, 22, 17, 31, 23, 0x54};
  for (USHORT i = 0; i < 13; ++i) EXPECT_EQ(rig_.camera.Register(0x21B0 + i), windows[i]);
  const UCHAR centre[4] = {20, 15, 40, 30};
  for (USHORT i = 0; i < 4; ++i) EXPECT_EQ(rig_.camera.Register(0x21C1 + i), centre[i]);
  EXPECT_EQ(rig_.camera.Register(0x2A08), 0x10);
  EXPECT_EQ(rig_.camera.Register(0x2A10), 32);
  EXPECT_EQ(rig_.camera.Register(0x2A06), 0);  // the sensor transfer finished
}

TEST_F(BringUpTest, TheStartUpCommandsAreAcceptedWithTheFirmwaresOwnTiming) {
  DebugMessage = 0;
  EXPECT_EQ(SendDataCommand(ctx(), SetAeBandingFlag, ctx()->AeBandingType, "banding"), 1u);
  EXPECT_EQ(SendDataCommand(ctx(), SetAeAwbFlag,
                            static_cast<UCHAR>(ctx()->VendorCommand[SetAeAwbFlag].Value), "ae"),
            1u);
  EXPECT_EQ(SendCommand(ctx(), TurnOnGpioPower, "power"), 1u);
  EXPECT_EQ(VCwrite(ctx(), kRequestDriverInitial, 0, 0, 1, kCommandTimeout, "global"), 1u);
  EXPECT_EQ(VCwrite(ctx(), kRequestDriverInitial, 1, 0, 1, kCommandTimeout, "cdsp"), 1u);
  EXPECT_EQ(SendDataCommand(ctx(), SizePcCamSize, 2, "size"), 1u);
  EXPECT_EQ(SendDataCommand(ctx(), SetImageType, 5, "type"), 1u);
  EXPECT_EQ(SendCommand(ctx(), SetPcCamStart, "start"), 1u);
  EXPECT_EQ(SendDataCommand(ctx(), SetQtable, ctx()->QTableIndex, "q"), 1u);

  const sim::StreamSettings settings = rig_.camera.Settings();
  EXPECT_TRUE(settings.capturing);
  EXPECT_EQ(settings.sizeNumber, 2);
  EXPECT_EQ(settings.sensorWidth, 320);
  EXPECT_EQ(settings.sensorHeight, 240);
  EXPECT_EQ(settings.imageType, 5);
  EXPECT_EQ(settings.qtableIndex, 3);
  EXPECT_EQ(rig_.camera.StoredPayload(sim::CameraCommand::SetAeAwbFlag), std::vector<UCHAR>{3});

  EXPECT_EQ(SendCommand(ctx(), SetPcCamStop, "stop"), 1u);
  EXPECT_EQ(SendCommand(ctx(), SetCamIdle, "idle"), 1u);
  EXPECT_EQ(SendCommand(ctx(), TurnOffGpioPower, "off"), 1u);
  EXPECT_FALSE(rig_.camera.Settings().capturing);
}

TEST_F(BringUpTest, UnInitializePublishesThatTheDriverLetGo) {
  const std::string hwState = kModelKey + "\\HWSTATE";
  host::SetRegistryDword(hwState, "HwState", 1);
  UnInitialize(rig_.bus.DeviceObject(), ctx());
  EXPECT_EQ(host::GetRegistryDword(hwState, "HwState"), 0u);
}

}  // namespace
}  // namespace veltocam::test
