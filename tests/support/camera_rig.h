// The simulated camera on the host bus with a device extension pointed at
// it, as the class layer leaves the device once it is started: device state
// 2, the request semaphores ready, and (after SelectConfiguration) the
// configuration handle and interface information of the selected
// configuration. The device layer's module-wide state starts empty.
#pragma once

#include <gtest/gtest.h>

#include "classlayer/usbrequests.h"
#include "platform/host/scheduler.h"
#include "platform/host/usb_bus.h"
#include "sim/simulated_camera.h"
#include "support/device_extension.h"

namespace veltocam::test {

inline void ResetDeviceLayerState() {
  DebugMessage = 0;
  RtlZeroMemory(ProductName, sizeof ProductName);
  FirmwareVersion = 0;
  RtlZeroMemory(ProductDescriptor, sizeof ProductDescriptor);
  RtlZeroMemory(SizeTablePage, sizeof SizeTablePage);
  Flip = 0;
  AutoWhiteBalanceSetting = 0;
}

class CameraRig {
 public:
  explicit CameraRig(sim::CameraIdentity identity = {}) : camera(std::move(identity)) {
    ResetDeviceLayerState();
    bus.Attach(camera);
    ClassDevice* dev = device();
    dev->DeviceState = kDeviceStarted;
    dev->BusDeviceObject = bus.DeviceObject();
    KeInitializeSemaphore(&dev->UrbLock, 1, 1);
    KeInitializeSemaphore(&dev->ChannelLock, 1, 1);
  }
  ~CameraRig() {
    if (host::CurrentSchedulerMode() == host::SchedulerMode::Deterministic) host::RunUntilIdle();
    camera.WithFirmware([](sim::CameraFirmware& f) {
      for (const std::string& violation : f.ProtocolViolations()) {
        ADD_FAILURE() << "camera protocol violation: " << violation;
      }
    });
    if (device()->InterfaceInfo != nullptr) ExFreePool(device()->InterfaceInfo);
    device()->InterfaceInfo = nullptr;
  }
  CameraRig(const CameraRig&) = delete;
  CameraRig& operator=(const CameraRig&) = delete;

  ClassDevice* device() { return ext.device(); }
  DeviceContext* context() { return ext.context(); }

  // Selects the configuration with the interface in alternate setting 0 and
  // keeps what the bus returned, as device initialisation does.
  NTSTATUS SelectConfiguration() {
    std::vector<UCHAR> descriptor = camera.ConfigurationDescriptor(0);
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    URB* urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SubmitUrbSync(device(), urb);
    if (NT_SUCCESS(status)) {
      const USBD_INTERFACE_INFORMATION* info = list[0].Interface;
      device()->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
      auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(
          ExAllocatePoolWithTag(NonPagedPool, info->Length, PoolTag("Rig ")));
      RtlCopyMemory(copy, info, info->Length);
      device()->InterfaceInfo = copy;
    }
    ExFreePool(urb);
    return status;
  }

  // The camera answers at once and never keeps the firmware busy.
  void MakeFirmwarePrompt() {
    camera.WithFirmware([](sim::CameraFirmware& f) { f.timing = {0, 0, 0}; });
  }

  sim::SimulatedCamera camera;  // outlives the bus, which unplugs it when destroyed
  host::UsbBus bus;
  DeviceExtension ext;
};

// The vendor requests the camera saw with this bRequest.
inline std::vector<sim::CommandRecord> RequestsOf(const std::vector<sim::CommandRecord>& log,
                                                  UCHAR request) {
  std::vector<sim::CommandRecord> found;
  for (const sim::CommandRecord& record : log) {
    if (record.request == request) found.push_back(record);
  }
  return found;
}

}  // namespace veltocam::test
