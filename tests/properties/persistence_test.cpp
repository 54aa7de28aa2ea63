// The picture settings in the store: what a restore sends to the camera for
// each state of the VIDEOPROCAMP key, what a change and a capture stop save,
// and a value set in one run coming back in the next.
#include "properties/persistence.h"

#include <gtest/gtest.h>

#include "control/configstore.h"
#include "control/identification.h"
#include "driver/stream_callbacks.h"
#include "property_rig.h"

namespace veltocam::test {
namespace {

using Writes = std::vector<std::pair<USHORT, UCHAR>>;

// Register bytes of brightness, contrast, hue (low, high), saturation, sharpness.
Writes PictureWrites(UCHAR brightness, UCHAR contrast, UCHAR hueLow, UCHAR hueHigh,
                     UCHAR saturation, UCHAR sharpness) {
  return {{0x2101, brightness}, {0x2102, contrast},   {0x2103, hueLow},
          {0x2104, hueHigh},    {0x2105, saturation}, {0x2106, sharpness}};
}
const Writes kDefaultWrites = PictureWrites(0x00, 32, 0, 1, 32, 0);

void StoreValues(std::optional<ULONG> apply) {
  if (apply) host::SetRegistryDword(kProcAmpKey, "ApplyRegistryValues", *apply);
  for (const auto& [name, value] : {std::pair{"Brightness", 200u},
                                    {"Contrast", 9u},
                                    {"Hue", 20u},
                                    {"Saturation", 3u},
                                    {"Sharpness", 5u},
                                    {"Whitebalance", 50u}}) {
    host::SetRegistryDword(kProcAmpKey, name, value);
  }
}

class PersistenceTest : public testing::Test {
 protected:
  DeviceContext* ctx() { return p_.ctx(); }
  ULONG Stored(const char* name) {
    return host::GetRegistryDword(kProcAmpKey, name).value_or(0xDEAD);
  }
  Writes Restore() {
    p_.rig.camera.ClearCommands();
    EXPECT_EQ(RestoreProcAmpSettings(ctx()), STATUS_SUCCESS);
    EXPECT_EQ(ctx()->RestoringProperties, 0);
    return p_.rig.camera.RegisterWrites();
  }

  PropertyRig p_;
};

TEST_F(PersistenceTest, AFreshStoreRestoresTheDefaultsAndAllowsSaving) {
  ASSERT_EQ(p_.Initialize(), STATUS_SUCCESS);
  EXPECT_EQ(Restore(), kDefaultWrites);
  EXPECT_EQ(ctx()->ApplyRegistryValues, 0xFFFFFFFFu);
  EXPECT_EQ(ctx()->ProcAmpValue[5], 38u);  // DEFAULT\WhiteBalance
  EXPECT_EQ(AutoWhiteBalanceSetting, 1u);
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 90).status, STATUS_SUCCESS);
  EXPECT_EQ(Stored("Brightness"), 90u);
  // The switch goes on with it, so the next start applies the value chosen.
  EXPECT_EQ(Stored("ApplyRegistryValues"), 1u);
  EXPECT_EQ(Restore()[0], (std::pair<USHORT, UCHAR>{0x2101, 90 + 128}));
}

TEST_F(PersistenceTest, StoredValuesAreAppliedOnlyWhenTheKeySaysSo) {
  ASSERT_EQ(p_.Initialize(), STATUS_SUCCESS);
  StoreValues(1);
  AutoWhiteBalanceSetting = 0;
  // Contrast 9 is out of range: its default goes out instead; white balance
  // 50 likewise, and the camera balances on its own.
  EXPECT_EQ(Restore(), PictureWrites(72, 32, 40, 1, 96, 5));
  EXPECT_EQ(ctx()->ProcAmpValue[0], 200u);
  EXPECT_EQ(ctx()->ProcAmpValue[1], 1u);
  EXPECT_EQ(ctx()->ProcAmpValue[5], 38u);
  EXPECT_EQ(AutoWhiteBalanceSetting, 1u);

  host::SetRegistryDword(kProcAmpKey, "Whitebalance", 49);
  host::SetRegistryDword(kProcAmpKey, "Contrast", 0);
  Restore();
  EXPECT_EQ(ctx()->ProcAmpValue[1], 1u);
  EXPECT_EQ(ctx()->ProcAmpValue[5], 49u);

  // Switched off: the defaults every time, and changes are not written.
  host::SetRegistryDword(kProcAmpKey, "ApplyRegistryValues", 0);
  EXPECT_EQ(Restore(), kDefaultWrites);
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 10).status, STATUS_SUCCESS);
  EXPECT_EQ(Stored("Brightness"), 200u);
  EXPECT_EQ(SaveProcAmpSettings(ctx()), STATUS_SUCCESS);
  EXPECT_EQ(Stored("ApplyRegistryValues"), 0u);

  // A value of the wrong type fails the whole query: the defaults again.
  host::SetRegistryDword(kProcAmpKey, "ApplyRegistryValues", 1);
  host::SetRegistryString(kProcAmpKey, "Hue", "20");
  EXPECT_EQ(Restore(), kDefaultWrites);
}

TEST_F(PersistenceTest, OnlyValuesRestoredOrSetAreEverSaved) {
  // The camera identified, the settings loaded, but no picture value restored.
  ASSERT_EQ(Initialize(p_.rig.bus.DeviceObject(), ctx()), STATUS_SUCCESS);
  BuildRegistryPaths(ctx());
  ctx()->ApplyRegistryValues = 1;
  EXPECT_EQ(SaveProcAmpSettings(ctx()), STATUS_SUCCESS);
  EXPECT_TRUE(host::RegistryValues(kProcAmpKey).empty());

  EXPECT_EQ(ApplyProcAmpValue(1, ctx(), 90, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(SaveProcAmpSettings(ctx()), STATUS_SUCCESS);
  EXPECT_EQ(Stored("ApplyRegistryValues"), 1u);
  EXPECT_EQ(Stored("Brightness"), 90u);
  EXPECT_EQ(Stored("Saturation"), 0xDEADu);  // never restored or set: not written as 0

  // A store that cannot take the switch stops the save with its status.
  host::DeleteRegistryKey(kProcAmpKey);
  EXPECT_EQ(SaveProcAmpSettings(ctx()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(PersistenceAcrossRuns, AValueSetInOneRunComesBackInTheNext) {
  {
    PropertyRig run;
    ASSERT_EQ(run.Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(run.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 200).status, STATUS_SUCCESS);
    EXPECT_EQ(run.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, 90).status, STATUS_SUCCESS);
    EXPECT_EQ(StopCapture(run.rig.bus.DeviceObject(), run.ctx(), 0), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::GetRegistryDword(kProcAmpKey, "ApplyRegistryValues"), 1u);
  EXPECT_EQ(host::GetRegistryDword(kProcAmpKey, "Contrast"), 1u);  // restored, so saved

  PropertyRig next;
  EXPECT_EQ(InitializeAndLoadSettings(next.rig.bus.DeviceObject(), next.ctx()), STATUS_SUCCESS);
  EXPECT_EQ(next.rig.camera.Register(0x2101), 72);
  EXPECT_EQ(next.rig.camera.Register(0x2103), 180);
  next.GetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
  EXPECT_EQ(next.procAmp.Value, 200);
}

}  // namespace
}  // namespace veltocam::test
