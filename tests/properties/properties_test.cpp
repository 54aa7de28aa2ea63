// Device property requests as the port sends them: the amplifier values and
// their register bytes, ranges and white balance, the custom set's answers
// and actions, compression, the custom GUID from the store, and requests no
// handler serves.
#include <gtest/gtest.h>

#include "driver/request_filter.h"
#include "platform/host/stream_port.h"
#include "platform/host/trace.h"
#include "property_rig.h"

namespace veltocam::test {
namespace {

using Writes = std::vector<std::pair<USHORT, UCHAR>>;
constexpr USHORT kBrightness = 0x2101, kContrast = 0x2102, kHueL = 0x2103, kHueH = 0x2104,
                 kSaturation = 0x2105, kSharpness = 0x2106;

class PropertiesTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(p_.Initialize(), STATUS_SUCCESS); }
  DeviceContext* ctx() { return p_.ctx(); }
  ULONG Stored(const std::string& key, const char* name) {
    return host::GetRegistryDword(key, name).value_or(0xDEAD);
  }

  PropertyRig p_;
};

TEST_F(PropertiesTest, AmplifierValuesBecomeTheCamerasRegisterBytesAndAreStored) {
  struct Case {
    ULONG id;
    LONG value;
    Writes writes;
    const char* name;
  } cases[] = {
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, {{kBrightness, 0x80}}, "Brightness"},
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 127, {{kBrightness, 0xFF}}, "Brightness"},
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 128, {{kBrightness, 0x00}}, "Brightness"},
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255, {{kBrightness, 0x7F}}, "Brightness"},
      {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 8, {{kContrast, 255}}, "Contrast"},
      {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 3, {{kContrast, 96}}, "Contrast"},
      {KSPROPERTY_VIDEOPROCAMP_HUE, 360, {{kHueL, 0xCF}, {kHueH, 0x81}}, "Hue"},
      {KSPROPERTY_VIDEOPROCAMP_HUE, 100, {{kHueL, 200}, {kHueH, 1}}, "Hue"},
      {KSPROPERTY_VIDEOPROCAMP_HUE, 200, {{kHueL, 144}, {kHueH, 65}}, "Hue"},
      {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, {{kSaturation, 0}}, "Saturation"},
      {KSPROPERTY_VIDEOPROCAMP_SATURATION, 8, {{kSaturation, 255}}, "Saturation"},
      {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 63, {{kSharpness, 63}}, "Sharpness"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
    p_.rig.camera.ClearCommands();
    const PropertyOutcome set = p_.SetProcAmp(c.id, c.value);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.bytes, 40u);
    EXPECT_EQ(p_.rig.camera.RegisterWrites(), c.writes);
    EXPECT_EQ(Stored(kProcAmpKey, c.name), static_cast<ULONG>(c.value));

    const PropertyOutcome get = p_.GetProcAmp(c.id);
    EXPECT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.bytes, 40u);
    EXPECT_EQ(p_.procAmp.Value, c.value);
    EXPECT_EQ(p_.procAmp.Flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    EXPECT_EQ(p_.procAmp.Capabilities, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
  }
}

TEST_F(PropertiesTest, AValueOutOfRangeIsRefusedAndChangesNothing) {
  const std::pair<ULONG, LONG> refused[] = {
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 300}, {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1},
      {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0},     {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 9},
      {KSPROPERTY_VIDEOPROCAMP_HUE, 361},        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 9},
      {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 64},   {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 50},
  };
  const auto before = host::RegistryValues(kProcAmpKey);
  for (const auto& [id, value] : refused) {
    SCOPED_TRACE(std::to_string(id) + " = " + std::to_string(value));
    p_.GetProcAmp(id);
    const LONG kept = p_.procAmp.Value;
    const PropertyOutcome set = p_.SetProcAmp(id, value);
    EXPECT_EQ(set.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(set.bytes, 0u);
    p_.GetProcAmp(id);
    EXPECT_EQ(p_.procAmp.Value, kept);
  }
  EXPECT_TRUE(p_.rig.camera.RegisterWrites().empty());
  EXPECT_EQ(host::RegistryValues(kProcAmpKey).size(), before.size());
}

TEST_F(PropertiesTest, WhiteBalanceIsStoredAndKeptButRefusedAndReportsItsMode) {
  const PropertyOutcome set = p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 20);
  EXPECT_EQ(set.status, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(p_.rig.camera.RegisterWrites().empty());
  EXPECT_EQ(Stored(kProcAmpKey, "Whitebalance"), 20u);

  AutoWhiteBalanceSetting = 1;
  EXPECT_EQ(p_.GetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).status, STATUS_SUCCESS);
  EXPECT_EQ(p_.procAmp.Value, 20);
  EXPECT_EQ(p_.procAmp.Capabilities, 3u);
  EXPECT_EQ(p_.procAmp.Flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);
  AutoWhiteBalanceSetting = 0;
  p_.GetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE);
  EXPECT_EQ(p_.procAmp.Flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
}

TEST_F(PropertiesTest, RegistersGoOutOnlyWhenTheCommandSetNamesThem) {
  ctx()->VendorCommand[Brightness].Request = 0x30;  // a command, not a register
  ctx()->VendorCommand[HueL].Request = 0x30;
  ctx()->VendorCommand[Sharpness].Request = 0x30;  // sharpness goes out all the same
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 10).status, STATUS_SUCCESS);
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, 10).status, STATUS_SUCCESS);
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 10).status, STATUS_SUCCESS);
  ctx()->VendorCommand[Sharpness].Request = kCommandNotConfigured;
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 11).status, STATUS_SUCCESS);
  EXPECT_EQ(p_.rig.camera.RegisterWrites(), (Writes{{kSharpness, 10}}));
}

TEST_F(PropertiesTest, RequestsNoHandlerServesKeepThePortsStatus) {
  // Gamma: in the amplifier set, not served.
  EXPECT_EQ(p_.GetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA).status, kPortStatus);
  EXPECT_EQ(p_.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA, 1).status, kPortStatus);
  // Custom ids above 13 are refused to the dispatcher only.
  const PropertyOutcome custom = p_.SetCustom(14, 1);
  EXPECT_EQ(custom.status, kPortStatus);
  EXPECT_EQ(custom.returned, STATUS_NOT_SUPPORTED);
  // Sets nobody serves.
  KSPROPERTY_VIDEOCOMPRESSION_S data{};
  constexpr GUID kOther = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(SendProperty(ctx(), false, kOther, 0, &data).status, kPortStatus);
  EXPECT_EQ(SendProperty(ctx(), false, kOther, 0, &data).returned, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SendProperty(ctx(), true, PROPSETID_VIDCAP_VIDEOCONTROL, 0, &data).status, kPortStatus);
  // A record too small for the property fails rather than being overrun.
  KSPROPERTY_VIDEOPROCAMP_S small{};
  EXPECT_EQ(SendProperty(ctx(), false, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &small, 24).status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PropertiesTest, CustomReadsAnswerTheCameraState) {
  ctx()->AwbMode = 7;
  ctx()->PacketSizeMax = 5;
  ctx()->AeBandingType = 2;
  Flip = 1;
  const std::pair<ULONG, LONG> answers[] = {
      {0, 6}, {1, 6}, {2, 0x5A5A}, {3, 0x5A5A},  {4, 0x5A5A}, {5, 7},  {6, 5},       {7, 6},
      {8, 6}, {9, 0}, {10, 2},     {11, 0x5A5A}, {12, 6},     {13, 1}, {40, 0x5A5A},
  };
  for (const auto& [id, value] : answers) {
    const PropertyOutcome get = p_.GetCustom(id);
    EXPECT_EQ(get.status, STATUS_SUCCESS) << id;
    EXPECT_EQ(get.bytes, 56u) << id;
    EXPECT_EQ(p_.custom.Value, value) << id;
  }
}

TEST_F(PropertiesTest, CustomSetsChangeTheCameraAndWriteTheStore) {
  host::TraceCapture trace;
  DebugMessage = 1;
  EXPECT_EQ(p_.SetCustom(1, 0x103).status, STATUS_SUCCESS);
  EXPECT_EQ(bSnap.load(), 3);
  EXPECT_TRUE(trace.Contains("(Velto) bSnap=3"));
  DebugMessage = 0;
  bSnap = 0;

  EXPECT_EQ(p_.SetCustom(5, 0x102).status, STATUS_SUCCESS);
  EXPECT_EQ(ctx()->AwbMode, 2u);
  EXPECT_EQ(Stored(kControlKey, "AWBMODE"), 2u);
  EXPECT_EQ(p_.SetCustom(6, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(ctx()->PacketSizeMax, 4);
  EXPECT_EQ(Stored(kControlKey, "PacketSizeMax"), 4u);

  EXPECT_EQ(p_.SetCustom(10, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(ctx()->AeBandingType, 2);
  EXPECT_EQ(Stored(kControlKey, "AEBANDINGTYPE"), 2u);
  EXPECT_EQ(p_.rig.camera.StoredPayload(sim::CameraCommand::SetAeBandingFlag),
            std::vector<UCHAR>{2});

  for (const auto& [sent, kept] : {std::pair{16u, 0}, {1u, 1}, {0x110u, 16}}) {
    EXPECT_EQ(p_.SetCustom(13, sent).status, STATUS_SUCCESS);
    EXPECT_EQ(Flip, kept) << sent;
    EXPECT_EQ(Stored(kControlKey, "Flip"), static_cast<ULONG>(kept)) << sent;
  }

  const PropertyOutcome reserved = p_.SetCustom(2, 1);
  EXPECT_EQ(reserved.status, STATUS_SUCCESS);
  EXPECT_EQ(reserved.returned, STATUS_NOT_SUPPORTED);
}

TEST_F(PropertiesTest, CustomRegistryWritesGoWhereTheSelectorSays) {
  const struct {
    ULONG value;
    std::string key;
    const char* name;  // "" is the key's unnamed default value
    ULONG data;
  } writes[] = {
      {(21u << 16) | 1, kModelKey + "\\BUFFER", "Buffer", 1},
      {(1u << 16) | (3 * 256 + 5), kControlKey, "VideoSetting", (3u << 28) + 5},
      {(1u << 16) | 0xFFFF, kControlKey, "VideoSetting", (15u << 28) + 15},
      {(2u << 16) | 9, kControlKey, "", 9},
      {(16u << 16) | 77, kControlKey, "Compressc", 77},
      {(17u << 16) | 1, kModelKey + "\\HWSNAP", "HWSNAP", 1},
      {(20u << 16) | 4, kModelKey + "\\SNAP", "STATESignal", 4},
  };
  for (const auto& w : writes) {
    EXPECT_EQ(p_.SetCustom(12, w.value).status, STATUS_SUCCESS);
    EXPECT_EQ(Stored(w.key, w.name), w.data) << w.name;
  }
  const auto before = host::RegistryValues(kControlKey).size();
  p_.SetCustom(12, (22u << 16) | 1);
  p_.SetCustom(12, 5);
  EXPECT_EQ(host::RegistryValues(kControlKey).size(), before);
}

TEST_F(PropertiesTest, TheAudioInputMutesTheOtherOneAndKeepsItsVolume) {
  host::SetRegistryDword(kControlKey, "LineInVolume", 0x8123);
  host::SetRegistryDword(kControlKey, "MicVolume", 0x0456);
  p_.SetCustom(8, 1);
  EXPECT_EQ(Stored(kControlKey, "Audio"), 1u);
  EXPECT_EQ(Stored(kControlKey, "LineInVolume"), 0x123u);
  EXPECT_EQ(Stored(kControlKey, "MicVolume"), 0x8456u);
  p_.SetCustom(8, 2);
  EXPECT_EQ(Stored(kControlKey, "Audio"), 2u);
  EXPECT_EQ(Stored(kControlKey, "LineInVolume"), 0x8123u);
  EXPECT_EQ(Stored(kControlKey, "MicVolume"), 0x456u);
  p_.SetCustom(8, 3);
  EXPECT_EQ(Stored(kControlKey, "Audio"), 2u);
}

TEST_F(PropertiesTest, CompressionKeepsItsValuesAndThePortsStatus) {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S info{};
  info.DefaultKeyFrameRate = 11;
  info.DefaultQuality = 99;
  PropertyOutcome get = SendProperty(ctx(), false, PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                                     KSPROPERTY_VIDEOCOMPRESSION_GETINFO, &info);
  EXPECT_EQ(get.status, kPortStatus);
  EXPECT_EQ(get.bytes, 48u);
  EXPECT_EQ(info.DefaultQuality, 0);
  EXPECT_EQ(info.Capabilities, KS_CompressionCaps_CanQuality);
  EXPECT_EQ(info.DefaultKeyFrameRate, 11);

  KSPROPERTY_VIDEOCOMPRESSION_S quality{};
  quality.Value = 75;
  EXPECT_EQ(SendProperty(ctx(), true, PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                         KSPROPERTY_VIDEOCOMPRESSION_QUALITY, &quality)
                .status,
            kPortStatus);
  quality = {};
  get = SendProperty(ctx(), false, PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                     KSPROPERTY_VIDEOCOMPRESSION_QUALITY, &quality);
  EXPECT_EQ(get.bytes, 32u);
  EXPECT_EQ(quality.Value, 75);
  EXPECT_EQ(ctx()->ControlValue[2], 75u);
  EXPECT_TRUE(p_.rig.camera.Commands().empty());
}

TEST_F(PropertiesTest, TheCustomSetTakesItsIdentifierFromTheStore) {
  const std::string guidKey = kModelKey + "\\GUID";
  host::SetRegistryDword(guidKey, "CUSTOM_PROP_Data1", 0x01234567);
  host::SetRegistryDword(guidKey, "CUSTOM_PROP_Data2", 0xFFFF89AB);
  host::SetRegistryDword(guidKey, "CUSTOM_PROP_Data3", 0xCDEF);
  host::SetRegistryDword(guidKey, "CUSTOM_PROP_Data4a", 0x10203040);
  host::SetRegistryDword(guidKey, "CUSTOM_PROP_Data4b", 0x50607080);
  host::TraceCapture trace;
  DebugMessage = 1;
  LoadCustomPropertyGuid(ctx());
  DebugMessage = 0;
  EXPECT_TRUE(trace.Contains("(VELTO) GUID=01234567,89ab,cdef,{10,20,30,40,50,60,70,80}"));
  constexpr GUID kStored = {
      0x01234567, 0x89AB, 0xCDEF, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};
  EXPECT_TRUE(CustomPropertySetGuid == kStored);
  EXPECT_TRUE(*kDevicePropertySets[1].Set == kStored);
  ctx()->PacketSizeMax = 3;
  EXPECT_EQ(p_.GetCustom(6).status, STATUS_SUCCESS);
  EXPECT_EQ(p_.custom.Value, 3);
  CustomPropertyData data{};
  EXPECT_EQ(SendProperty(ctx(), false, kBuiltInCustomPropertySetGuid, 6, &data).status,
            kPortStatus);

  // A key missing one value falls back to the built-in identifier.
  host::DeleteRegistryValue(guidKey, "CUSTOM_PROP_Data3");
  LoadCustomPropertyGuid(ctx());
  EXPECT_TRUE(CustomPropertySetGuid == kBuiltInCustomPropertySetGuid);
}

TEST_F(PropertiesTest, TheFilterPassesPropertyRequestsToTheHandlerAndCompletesThem) {
  for (const bool isSet : {true, false}) {
    KSPROPERTY_VIDEOPROCAMP_S data{};
    data.Property = {PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0};
    data.Value = isSet ? 5 : 0;
    STREAM_PROPERTY_DESCRIPTOR descriptor{&data.Property, 0, &data, sizeof(KSPROPERTY),
                                          sizeof data};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    srb.Status = kPortStatus;
    srb.HwDeviceExtension = p_.rig.device();
    srb.CommandData.PropertyInfo = &descriptor;
    FilterDeviceRequest(&srb);
    EXPECT_EQ(host::TakeCompletedRequests(), std::vector<HW_STREAM_REQUEST_BLOCK*>{&srb});
    EXPECT_EQ(srb.Status, STATUS_SUCCESS);
    EXPECT_EQ(srb.ActualBytesTransferred, 40u);
    EXPECT_EQ(data.Value, 5);
  }
  EXPECT_EQ(p_.rig.camera.RegisterWrites(), (Writes{{kContrast, 160}}));
}

TEST(PropertySets, TheAdvertisedSetsCarryTheirRangesAndDefaults) {
  ASSERT_TRUE(*kDevicePropertySets[0].Set == PROPSETID_VIDCAP_VIDEOPROCAMP);
  ASSERT_EQ(kDevicePropertySets[0].PropertiesCount, 5u);
  const LONG expected[5][3] = {{0, 255, 128}, {1, 8, 1}, {0, 360, 0}, {0, 8, 1}, {0, 63, 0}};
  for (ULONG i = 0; i < 5; ++i) {
    const KSPROPERTY_ITEM& item = kDevicePropertySets[0].PropertyItem[i];
    EXPECT_EQ(item.PropertyId, i);
    EXPECT_EQ(item.MinData, 40u);
    const KSPROPERTY_MEMBERSLIST* lists =
        static_cast<const KSPROPERTY_VALUES*>(item.Values)->MembersList;
    const auto* range = static_cast<const KSPROPERTY_STEPPING_LONG*>(lists[0].Members);
    EXPECT_EQ(range->SteppingDelta, 1u);
    EXPECT_EQ(range->Bounds.SignedMinimum, expected[i][0]);
    EXPECT_EQ(range->Bounds.SignedMaximum, expected[i][1]);
    EXPECT_EQ(lists[1].MembersHeader.Flags, KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(*static_cast<const LONG*>(lists[1].Members), expected[i][2]);
  }
  EXPECT_EQ(kDevicePropertySets[1].PropertiesCount, 14u);
  EXPECT_EQ(kDevicePropertySets[1].PropertyItem[13].MinData, 56u);
  ASSERT_TRUE(*kDevicePropertySets[2].Set == PROPSETID_VIDCAP_VIDEOCOMPRESSION);
  EXPECT_EQ(kDevicePropertySets[2].PropertiesCount, 4u);
  EXPECT_FALSE(kDevicePropertySets[2].PropertyItem[0].SetSupported);
  const KSPROPERTY_ITEM& quality = kDevicePropertySets[2].PropertyItem[3];
  const auto* values = static_cast<const KSPROPERTY_VALUES*>(quality.Values);
  const auto* range = static_cast<const KSPROPERTY_STEPPING_LONG*>(values->MembersList[0].Members);
  EXPECT_EQ(range->Bounds.SignedMaximum, 100);
  EXPECT_EQ(*static_cast<const LONG*>(values->MembersList[1].Members), 50);
}

}  // namespace
}  // namespace veltocam::test
