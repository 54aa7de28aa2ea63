// Property requests come from applications: whatever the set, id, direction
// and buffer, the handlers must stay inside the caller's buffer, say no more
// bytes than it holds, keep to the camera's protocol and release what they
// take. The camera is brought up once (settings loaded, values restored);
// each input is one request against it.
//
// Input: set (0 amplifier, 1 custom, 2 compression, 3 another GUID from the
// input), direction, id, two bytes of buffer size, then the buffer's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "classlayer/device_layer_services.h"
#include "classlayer/usbconfig.h"
#include "driver/device_callbacks.h"
#include "platform/host/contract_violations.h"
#include "platform/host/platform.h"
#include "platform/host/pool.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "properties/properties.h"
#include "sim/camera_model.h"
#include "sim/simulated_camera.h"
#include "support/device_extension.h"

namespace {

constexpr std::size_t kHeader = 5;

// The shipped camera on the host bus, configured and initialised through the
// class layer as a device start does.
// A fresh platform with the camera model's settings, before anything of the
// camera takes pool memory.
struct FreshPlatform {
  FreshPlatform() {
    veltocam::host::ResetPlatform();
    if (!veltocam::sim::LoadCameraModelSettings()) std::abort();
    veltocam::host::SetTraceSink([](std::string_view) {});  // traces cost, tell nothing here
  }
};

struct Camera {
  Camera() {
    camera.WithFirmware([](veltocam::sim::CameraFirmware& f) { f.timing = {0, 0, 0}; });
    bus.Attach(camera);
    ClassDevice* dev = ext.device();
    dev->BusDeviceObject = bus.DeviceObject();
    dev->DeviceState = kDeviceInitialising;
    dev->NumberOfStreams = 1;
    KeInitializeSemaphore(&dev->UrbLock, 1, 1);
    KeInitializeSemaphore(&dev->ChannelLock, 1, 1);
    static DeviceCallbackTable table{};
    table.Configure = ::Configure;
    table.Initialize = InitializeAndLoadSettings;
    InstallCallbackTable(ext.context(), &table, kCallbackTableVersion, 0x0C);
    if (!NT_SUCCESS(ConfigureDevice(dev))) std::abort();
    dev->DeviceState = kDeviceStarted;
    veltocam::host::RunUntilIdle();
  }
  ~Camera() { ReleaseDeviceConfiguration(ext.device()); }

  FreshPlatform platform;
  veltocam::sim::SimulatedCamera camera;
  veltocam::host::UsbBus bus;
  veltocam::test::DeviceExtension ext;
};

GUID SetOf(const std::uint8_t* data) {
  switch (data[0] % 4) {
    case 0:
      return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case 1:
      return CustomPropertySetGuid;
    case 2:
      return PROPSETID_VIDCAP_VIDEOCOMPRESSION;
    default: {
      GUID other;
      std::memset(&other, data[0], sizeof other);
      return other;
    }
  }
}

void Request(Camera& c, const std::uint8_t* data, std::size_t size) {
  const bool isSet = (data[1] & 1) != 0;
  KSPROPERTY property{SetOf(data), data[2] & 0x1Fu,
                      isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET};
  const ULONG bufferSize = data[3] | data[4] << 8;
  std::vector<std::uint8_t> buffer(bufferSize);  // exactly the caller's size: ASan sees overruns
  for (std::size_t i = 0; i < bufferSize && kHeader + i < size; ++i) buffer[i] = data[kHeader + i];
  STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 0, bufferSize != 0 ? buffer.data() : nullptr,
                                        sizeof(KSPROPERTY), bufferSize};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.SizeOfThisPacket = sizeof srb;
  srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
  srb.CommandData.PropertyInfo = &descriptor;
  DevicePropertyRequest(isSet, c.bus.DeviceObject(), c.ext.context(), &srb);
  veltocam::host::RunUntilIdle();  // a deferred snapshot-button poll finishes
  if (srb.ActualBytesTransferred > bufferSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader || size > 4096) return 0;
  static Camera camera;
  const std::size_t blocks = veltocam::host::OutstandingBlocks();
  Request(camera, data, size);
  if (veltocam::host::OutstandingBlocks() != blocks) std::abort();
  if (veltocam::host::ContractViolationCount() != 0) std::abort();
  bool breach = false;
  camera.camera.WithFirmware(
      [&](veltocam::sim::CameraFirmware& f) { breach = !f.ProtocolViolations().empty(); });
  if (breach) std::abort();
  return 0;
}
