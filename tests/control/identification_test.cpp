// Identifying the camera: firmware generations, the product descriptor and
// size table, the traces that Print forces, and teardown.
#include "control/identification.h"

#include <gtest/gtest.h>

#include "control/configstore.h"
#include "platform/host/cpu.h"
#include "platform/host/pool.h"
#include "platform/host/registry_store.h"
#include "platform/host/trace.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

struct Size {
  ULONG w, h;
  bool operator==(const Size&) const = default;
};

std::vector<Size> Sizes(const DeviceContext* ctx) {
  std::vector<Size> sizes;
  for (const SensorWindow& s : ctx->SensorSize) sizes.push_back({s.Width, s.Height});
  return sizes;
}

std::vector<Size> Expected(std::initializer_list<Size> first) {
  std::vector<Size> sizes(first);
  sizes.resize(16, Size{0, 0});
  return sizes;
}

TEST(Identification, NewFirmwareIsIdentifiedWithTracesEvenWithoutDebugMessage) {
  CameraRig rig;
  host::TraceCapture trace;
  host::SetCpuidOverride([](int) { return std::array<int, 4>{0, 0, 0, 1 << 23}; });
  EXPECT_EQ(Initialize(rig.bus.DeviceObject(), rig.context()), STATUS_SUCCESS);
  host::SetCpuidOverride({});

  EXPECT_EQ(FirmwareVersion, 2);
  EXPECT_STREQ(reinterpret_cast<const char*>(ProductName), "VeltoCam PC325");
  EXPECT_EQ(Sizes(rig.context()), Expected({{640, 480}, {320, 240}, {160, 120}}));
  EXPECT_EQ(rig.context()->HasMmx, 1u);
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{"KorvaneCam_Initialize", "", "F/W Version(2,1,0,7,31)", "",
                                      "Product Descriptor", "",
                                      "  >PC Camera size index: 01, 02, 03, 00, 00, 00, 00, 00", "",
                                      "  >Sensor Name:[VLT0325 CMOS VGA    ]", "",
                                      "  >Product Name:[VeltoCam PC325]", "", "-----------"}));
  // Version (1 byte, then 5), page 0, page 1.
  std::vector<std::pair<UCHAR, USHORT>> wire;
  for (const sim::CommandRecord& r : rig.camera.Commands()) wire.emplace_back(r.request, r.length);
  EXPECT_EQ(wire,
            (std::vector<std::pair<UCHAR, USHORT>>{{0x20, 1}, {0x20, 5}, {0x23, 64}, {0x23, 64}}));
}

TEST(Identification, OldFirmwareIsReadByteByByteAndRefused) {
  CameraRig rig;
  rig.camera.SetFirmwareVersion({1, 0, 2, 5, 0});
  host::TraceCapture trace;
  EXPECT_EQ(Initialize(rig.bus.DeviceObject(), rig.context()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(FirmwareVersion, 1);
  EXPECT_TRUE(trace.Contains("Old F/W Version(1,0,2,5) -> No Support"));
  EXPECT_FALSE(trace.Contains("Old F/W can't use on this version video driver."));
  const auto reads = RequestsOf(rig.camera.Commands(), 0x20);
  ASSERT_EQ(reads.size(), 5u);
  for (USHORT byte = 0; byte < 4; ++byte) EXPECT_EQ(reads[byte + 1].value, byte);
  EXPECT_TRUE(RequestsOf(rig.camera.Commands(), 0x23).empty());
  EXPECT_EQ(Sizes(rig.context()), Expected({}));

  DebugMessage = 1;
  trace.Clear();
  Initialize(rig.bus.DeviceObject(), rig.context());
  EXPECT_TRUE(trace.Contains("Old F/W can't use on this version video driver."));
  DebugMessage = 0;
}

TEST(Identification, GenerationZeroOrNoAnswerIsRefusedAsOldFirmware) {
  CameraRig zero;
  zero.camera.SetFirmwareVersion({0, 3, 3, 3, 3});
  EXPECT_EQ(Initialize(zero.bus.DeviceObject(), zero.context()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(RequestsOf(zero.camera.Commands(), 0x23).empty());

  CameraRig silent;
  silent.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.stalledRequests = {0x20}; });
  EXPECT_EQ(Initialize(silent.bus.DeviceObject(), silent.context()), STATUS_UNSUCCESSFUL);
}

TEST(Identification, SizeIndexesOfZeroOrPastTheTableGiveNoSize) {
  sim::CameraIdentity identity;
  identity.sizeIndex = {3, 0, 16, 0xFF, 15, 1, 0, 2};
  identity.sizeTable[15] = {1280, 1024};
  CameraRig rig(identity);
  rig.context()->SensorSize[12] = {9, 9};  // entries past the list are cleared
  EXPECT_EQ(ReadCameraInfo(rig.context(), 0), 1u);
  EXPECT_EQ(
      Sizes(rig.context()),
      Expected({{160, 120}, {0, 0}, {0, 0}, {0, 0}, {1280, 1024}, {640, 480}, {0, 0}, {320, 240}}));
}

TEST(Identification, NoSensorSizeSkipsTheTableAndUses320By240Everywhere) {
  CameraRig rig;
  rig.context()->NoSensorSize = 1;
  host::TraceCapture trace;
  EXPECT_EQ(ReadCameraInfo(rig.context(), 0), 1u);
  EXPECT_TRUE(trace.Lines().empty());  // silent without Print
  EXPECT_EQ(RequestsOf(rig.camera.Commands(), 0x23).size(), 1u);
  EXPECT_EQ(Sizes(rig.context()), std::vector<Size>(16, Size{320, 240}));
}

TEST(Identification, ASixteenCharacterProductNameIsKeptWholeAndTerminated) {
  sim::CameraIdentity identity;
  identity.productName = "ABCDEFGHIJKLMNOP";
  CameraRig rig(identity);
  RtlFillMemory(ProductName, sizeof ProductName, 'x');
  ReadCameraInfo(rig.context(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(ProductName), "ABCDEFGHIJKLMNOP");
  BuildRegistryPaths(rig.context());
  EXPECT_EQ(std::u16string(rig.context()->ControlKeyPath),
            u"\\Registry\\MACHINE\\SOFTWARE\\ABCDEFGHIJKLMNOP\\CONTROL");
}

TEST(Identification, UnInitializePublishesTheReleaseAndFreesTheBuffers) {
  CameraRig rig;
  std::memcpy(ProductName, "Cam", 4);
  BuildRegistryPaths(rig.context());
  const char* key = "\\Registry\\MACHINE\\SOFTWARE\\Cam\\HWSTATE";
  host::SetRegistryDword(key, "HwState", 1);
  USHORT pipes[1];
  alignas(8) UCHAR record[GET_USBD_INTERFACE_SIZE(1)] = {};
  reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record)->Length = sizeof record;
  reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record)->NumberOfPipes = 1;
  Configure(nullptr, rig.context(), reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record), nullptr,
            1, pipes, nullptr);
  const std::size_t withBuffers = host::OutstandingBlocks(kDevicePoolTag);
  EXPECT_EQ(UnInitialize(nullptr, rig.context()), STATUS_SUCCESS);
  EXPECT_EQ(host::GetRegistryDword(key, "HwState"), 0u);
  EXPECT_EQ(host::OutstandingBlocks(kDevicePoolTag), withBuffers - 7);
  EXPECT_EQ(rig.context()->RawImageBuffer, nullptr);
  EXPECT_EQ(rig.context()->Interface, nullptr);
}

TEST(Identification, MmxIsBit23OfLeafOneEdx) {
  int askedLeaf = -1;
  host::SetCpuidOverride([&](int leaf) {
    askedLeaf = leaf;
    return std::array<int, 4>{-1, -1, -1, ~(1 << 23)};
  });
  EXPECT_EQ(HasMmxSupport(), 0u);
  EXPECT_EQ(askedLeaf, 1);
  host::SetCpuidOverride([](int) { return std::array<int, 4>{0, 0, 0, 1 << 23}; });
  EXPECT_EQ(HasMmxSupport(), 1u);
  host::SetCpuidOverride({});
}

}  // namespace
}  // namespace veltocam::test
