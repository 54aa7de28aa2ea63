// The configuration descriptor comes from the device: whatever its bytes, the
// class layer's configuration (descriptor reads, the device layer's pipe
// words, selection, pipe classification) must fail cleanly or leave pipe
// indices inside the interface, and release everything it kept.
//
// Input: two bytes of pipe words for the scripted device layer's Configure
// on odd first bytes (the camera's own Configure otherwise), then the
// configuration descriptor.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "classlayer/device_layer_services.h"
#include "classlayer/usbconfig.h"
#include "platform/host/platform.h"
#include "platform/host/trace.h"
#include "support/device_extension.h"
#include "support/usb_test_device.h"

namespace {

USHORT g_word = 0;

NTSTATUS ScriptedConfigure(DEVICE_OBJECT*, PVOID, USBD_INTERFACE_INFORMATION*,
                           USB_CONFIGURATION_DESCRIPTOR*, ULONG pipes, USHORT* words,
                           USB_DEVICE_DESCRIPTOR*) {
  for (ULONG i = 0; i < pipes; ++i) words[i] = static_cast<USHORT>(g_word >> (i % 2 * 8));
  return STATUS_SUCCESS;
}

NTSTATUS AcceptInitialize(DEVICE_OBJECT*, PVOID) {
  return STATUS_SUCCESS;
}

bool InRange(LONG index, ULONG pipes) {
  return index == -1 || (index >= 0 && static_cast<ULONG>(index) < pipes);
}

void Configure(const std::uint8_t* data, std::size_t size) {
  veltocam::testing::TestDevice device;
  device.configuration.assign(data + 2, data + size);
  veltocam::host::UsbBus bus;
  veltocam::test::DeviceExtension ext;
  DeviceCallbackTable table{};
  g_word = static_cast<USHORT>(data[0] | data[1] << 8);
  table.Configure = (data[0] & 1) != 0 ? ScriptedConfigure : ::Configure;
  table.Initialize = AcceptInitialize;
  InstallCallbackTable(ext.context(), &table, kCallbackTableVersion, 0x0C);
  ClassDevice* dev = ext.device();
  dev->BusDeviceObject = bus.DeviceObject();
  dev->DeviceState = kDeviceInitialising;
  dev->NumberOfStreams = 1;
  KeInitializeSemaphore(&dev->UrbLock, 1, 1);
  bus.Attach(device);
  if (NT_SUCCESS(ConfigureDevice(dev))) {
    const ULONG pipes = dev->InterfaceInfo->NumberOfPipes;
    if (!InRange(dev->SyncPipeIndex, pipes) || !InRange(dev->IsoDataPipeIndex, pipes) ||
        !InRange(dev->BulkDataPipeIndex, pipes)) {
      std::abort();
    }
  }
  ReleaseDeviceConfiguration(dev);
  veltocam::host::RunUntilIdle();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 4096) return 0;
  veltocam::host::ResetPlatform();
  veltocam::host::SetTraceSink([](std::string_view) {});  // traces cost, tell nothing here
  Configure(data, size);
  if (!veltocam::host::DescribeLeftovers().empty()) std::abort();
  return 0;
}
