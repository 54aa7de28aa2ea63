// The host USB bus: the bus driver the camera driver talks to, with one port
// into which a UsbDeviceModel is plugged. Its device object is what the
// driver gets as BusDeviceObject; the driver reaches it with internal device
// controls (IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS, _RESET_PORT).
//
//   veltocam::host::UsbBus bus;
//   SimulatedCamera camera;            // a UsbDeviceModel
//   bus.Attach(camera);                // plug it in
//   DEVICE_OBJECT* busDevice = bus.DeviceObject();
//
// Every request completes asynchronously, from the bus's DPC at
// DISPATCH_LEVEL, after the delay the model chose (0: at the next pump of the
// scheduler); a malformed request fails at once. Isochronous transfers run
// on USB frames of 1 ms of scheduler time and complete at the end of their
// last frame. Pending requests can be cancelled with IoCancelIrp.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/usb_device_model.h"

namespace veltocam::host {

namespace usbbus {
class BusCore;
}

// One request the driver sent, as the bus saw it.
struct UsbRequestRecord {
  std::uint64_t sequence = 0;
  std::uint64_t time = 0;     // scheduler time at submission, 100 ns units
  ULONG ioControlCode = 0;    // IOCTL_INTERNAL_USB_...
  USHORT function = 0xFFFF;   // URB function of a submitted URB
  UsbSetupPacket setup{};     // control transfers (descriptor reads included)
  UCHAR endpointAddress = 0;  // pipe requests and transfers
  ULONG length = 0;           // transfer buffer length the driver gave
  ULONG startFrame = 0;       // isochronous: first frame (0 if rejected)
  ULONG packets = 0;          // isochronous: number of packets
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;              // once completed
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;  // once completed
  ULONG bytes = 0;                               // data stage bytes moved
};

class UsbBus {
 public:
  UsbBus();
  // Unplugs the device: requests still pending complete with device-gone
  // statuses here, so destroy the bus after the driver has let go of them.
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // The bus driver's device object: the driver's BusDeviceObject.
  DEVICE_OBJECT* DeviceObject() const;

  // Plugs a device in: port connected and enabled, device unconfigured. The
  // bus reads the model's descriptors now. One device at a time.
  void Attach(UsbDeviceModel& model);
  // Pulls it out: every pending request completes (at the next pump) with
  // USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED, new requests fail
  // at once, the port status says not connected.
  void Detach();
  bool IsAttached() const;
  // As UsbHost::DisablePort: the port carries no traffic until it is reset.
  void DisablePort();

  // USBD_PORT_ENABLED | USBD_PORT_CONNECTED as they stand now.
  ULONG PortStatus() const;
  // The USB frame in progress: scheduler time in milliseconds.
  ULONG CurrentFrame() const;
  // bConfigurationValue of the selected configuration, 0 when unconfigured.
  UCHAR ConfigurationValue() const;
  // Selected alternate setting of an interface, -1 when it is not configured.
  int AlternateSetting(UCHAR interfaceNumber) const;

  // Requests held by the bus (pending, or final and about to complete).
  std::size_t PendingRequests() const;
  // The latest requests (up to a few thousand), oldest first.
  std::vector<UsbRequestRecord> Requests() const;
  // Requests seen since the bus was made (or the log cleared): submitted URBs
  // by function, and internal device controls by code.
  std::size_t RequestCount(USHORT urbFunction) const;
  std::size_t IoctlCount(ULONG ioControlCode) const;
  void ClearRequestLog();

 private:
  std::unique_ptr<usbbus::BusCore> core_;
};

}  // namespace veltocam::host
