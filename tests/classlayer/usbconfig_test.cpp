// Device initialisation's USB part against a device on the host bus: reading
// the configuration, the device layer's pipe words, pipe classification and
// the failures that end initialisation.
#include "classlayer/usbconfig.h"

#include <gtest/gtest.h>

#include "classlayer/device_layer_services.h"
#include "platform/host/pool.h"
#include "support/device_extension.h"
#include "support/usb_test_device.h"

namespace veltocam::test {
namespace {

using testing::DescriptorBuilder;

std::vector<USHORT> g_words;
NTSTATUS g_configureStatus = STATUS_SUCCESS;
NTSTATUS g_initializeStatus = STATUS_SUCCESS;
int g_initializeCalls = 0;

NTSTATUS ScriptedConfigure(DEVICE_OBJECT*, PVOID, USBD_INTERFACE_INFORMATION*,
                           USB_CONFIGURATION_DESCRIPTOR*, ULONG pipes, USHORT* words,
                           USB_DEVICE_DESCRIPTOR*) {
  for (ULONG i = 0; i < pipes && i < g_words.size(); ++i) words[i] = g_words[i];
  return g_configureStatus;
}

NTSTATUS ScriptedInitialize(DEVICE_OBJECT*, PVOID) {
  ++g_initializeCalls;
  return g_initializeStatus;
}

class UsbConfiguration : public ::testing::Test {
 protected:
  void SetUp() override {
    g_words.clear();
    g_configureStatus = g_initializeStatus = STATUS_SUCCESS;
    g_initializeCalls = 0;
    table_.Configure = ScriptedConfigure;
    table_.Initialize = ScriptedInitialize;
    InstallCallbackTable(ext_.context(), &table_, kCallbackTableVersion, 0x0C);
    ext_.device()->BusDeviceObject = bus_.DeviceObject();
    ext_.device()->DeviceState = kDeviceInitialising;
    ext_.device()->NumberOfStreams = 1;
  }
  void TearDown() override { ReleaseDeviceConfiguration(ext_.device()); }

  void Plug(std::vector<UCHAR> configuration) {
    device_.configuration = std::move(configuration);
    bus_.Attach(device_);
  }
  int ConfigurationReads() const {
    int reads = 0;
    for (const auto& setup : device_.setups) {
      reads += setup.bRequest == host::USB_REQUEST_GET_DESCRIPTOR && (setup.wValue >> 8) == 2;
    }
    return reads;
  }

  testing::TestDevice device_;
  host::UsbBus bus_;
  DeviceExtension ext_;
  DeviceCallbackTable table_{};
};

std::vector<UCHAR> OneIsoPipe() {
  return DescriptorBuilder()
      .Configuration(1, 1)
      .Interface(0, 0, 1)
      .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1023)
      .Build();
}

TEST_F(UsbConfiguration, ASmallConfigurationIsReadOnceAndALargeOneAgainInFull) {
  Plug(OneIsoPipe());
  g_words = {0x0101};
  ASSERT_EQ(ConfigureDevice(ext_.device()), STATUS_SUCCESS);
  EXPECT_EQ(ConfigurationReads(), 1);
  EXPECT_EQ(g_initializeCalls, 1);
  EXPECT_EQ(bus_.ConfigurationValue(), 1);
  EXPECT_NE(ext_.device()->ConfigurationHandle, nullptr);
  ASSERT_NE(ext_.device()->InterfaceInfo, nullptr);
  EXPECT_EQ(ext_.device()->InterfaceInfo->Pipes[0].MaximumPacketSize, 1023);
  EXPECT_EQ(ext_.device()->ResetCount[0], -1);

  bus_.Detach();
  device_.setups.clear();
  Plug(testing::CameraLikeConfiguration());  // 120 bytes
  ASSERT_EQ(ConfigureDevice(ext_.device()), STATUS_SUCCESS);
  EXPECT_EQ(ConfigurationReads(), 2);
}

TEST_F(UsbConfiguration, AVideoDataPipeWithASyncPipeIsOneStream) {
  Plug(DescriptorBuilder()
           .Configuration(1, 1)
           .Interface(0, 0, 2)
           .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1023)
           .Endpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1)
           .Build());
  g_words = {0x0101, 0x0401};
  ASSERT_EQ(ConfigureDevice(ext_.device()), STATUS_SUCCESS);
  const ClassDevice* d = ext_.device();
  EXPECT_EQ(d->NumberOfStreams, 1u);
  EXPECT_EQ(d->IsoDataPipeIndex, 0);
  EXPECT_EQ(d->IsoDataStream, 0);
  EXPECT_EQ(d->SyncPipeIndex, 1);
  EXPECT_EQ(d->BulkDataPipeIndex, -1);
  EXPECT_EQ(d->PipeTable[1].Role, 4);
}

TEST_F(UsbConfiguration, AMultiplexedPipeServesBothStreams) {
  Plug(OneIsoPipe());
  g_words = {0x0203};
  ASSERT_EQ(ConfigureDevice(ext_.device()), STATUS_SUCCESS);
  EXPECT_EQ(ext_.device()->NumberOfStreams, 2u);
  EXPECT_EQ(ext_.device()->IsoDataStream, 0);
  EXPECT_EQ(ext_.device()->StillIsVirtual, 1);
}

TEST_F(UsbConfiguration, AnOutPipeIsNoDataPipe) {
  Plug(DescriptorBuilder()
           .Configuration(1, 1)
           .Interface(0, 0, 2)
           .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
           .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8)
           .Build());
  g_words = {0x0101, 0x0000};
  EXPECT_EQ(ConfigureDevice(ext_.device()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(g_initializeCalls, 0);
}

TEST_F(UsbConfiguration, TheDeviceLayersFailuresEndInitialisation) {
  Plug(OneIsoPipe());
  g_words = {0x0101};
  g_configureStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(ConfigureDevice(ext_.device()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bus_.ConfigurationValue(), 0);  // never selected

  g_configureStatus = STATUS_SUCCESS;
  g_initializeStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(ConfigureDevice(ext_.device()), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbConfiguration, ARefusedSelectionFailsInitialisation) {
  Plug(OneIsoPipe());
  device_.configurationReply = host::UsbReply::Stall();
  g_words = {0x0101};
  EXPECT_FALSE(NT_SUCCESS(ConfigureDevice(ext_.device())));
  EXPECT_EQ(g_initializeCalls, 0);
  EXPECT_EQ(ext_.device()->InterfaceInfo, nullptr);
}

TEST_F(UsbConfiguration, TheDeviceLayersConfigureDescribesOneVideoPipe) {
  table_.Configure = Configure;  // the camera's own
  InstallCallbackTable(ext_.context(), &table_, kCallbackTableVersion, 0x0C);
  Plug(testing::CameraLikeConfiguration());
  ASSERT_EQ(ConfigureDevice(ext_.device()), STATUS_SUCCESS);
  EXPECT_EQ(ext_.device()->NumberOfStreams, 1u);
  EXPECT_EQ(ext_.device()->IsoDataPipeIndex, 0);
  EXPECT_EQ(ext_.device()->SyncPipeIndex, -1);
  EXPECT_EQ(ext_.device()->InterfaceInfo->Pipes[0].MaximumTransferSize, 0x8000u);
  ASSERT_NE(ext_.context()->Interface, nullptr);
}

TEST_F(UsbConfiguration, EveryFailedAllocationFailsCleanly) {
  Plug(OneIsoPipe());
  g_words = {0x0101};
  // Until configuration gets through; every failure on the way is reported.
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100u) << "configuration never got through";
    const std::uint64_t failedBefore = host::FailedAllocationCount();
    host::FailNthAllocation(n);
    const NTSTATUS status = ConfigureDevice(ext_.device());
    host::FailNthAllocation(0);
    host::RunUntilIdle();
    if (host::FailedAllocationCount() == failedBefore) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    EXPECT_FALSE(NT_SUCCESS(status));
    ReleaseDeviceConfiguration(ext_.device());
  }
}

}  // namespace
}  // namespace veltocam::test
