// Default behaviour of a device model: what a plain USB device does with the
// requests a particular model does not care about.
#include "platform/host/usb_device_model.h"

#include <algorithm>
#include <cstring>

namespace veltocam::host {

std::vector<UCHAR> UsbDeviceModel::StringDescriptor(UCHAR, USHORT) const {
  return {};
}

UsbReply UsbDeviceModel::ControlTransfer(const UsbSetupPacket& setup, std::span<UCHAR> data) {
  // Standard request, recipient device, device to host.
  if (setup.bmRequestType != 0x80 || setup.bRequest != USB_REQUEST_GET_DESCRIPTOR) {
    return UsbReply::Stall();
  }
  const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
  const UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
  std::vector<UCHAR> descriptor;
  if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
    descriptor = DeviceDescriptor();
  } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    descriptor = ConfigurationDescriptor(index);
  } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
    descriptor = StringDescriptor(index, setup.wIndex);
  }
  if (descriptor.empty()) return UsbReply::Stall();
  const std::size_t length = std::min(descriptor.size(), data.size());
  std::memcpy(data.data(), descriptor.data(), length);
  return UsbReply::Done(static_cast<ULONG>(length));
}

UsbReply UsbDeviceModel::SetConfiguration(UCHAR) {
  return UsbReply::Done();
}

UsbReply UsbDeviceModel::SetInterface(UCHAR, UCHAR) {
  return UsbReply::Done();
}

UsbIsoPacket UsbDeviceModel::IsochInPacket(UCHAR, ULONG, std::span<UCHAR>) {
  return {};
}

USBD_STATUS UsbDeviceModel::IsochOutPacket(UCHAR, ULONG, std::span<const UCHAR>) {
  return USBD_STATUS_SUCCESS;
}

UsbReply UsbDeviceModel::BulkOrInterruptIn(UCHAR, std::span<UCHAR>) {
  return UsbReply::NeverAnswer();
}

UsbReply UsbDeviceModel::BulkOrInterruptOut(UCHAR, std::span<const UCHAR> data) {
  return UsbReply::Done(static_cast<ULONG>(data.size()));
}

void UsbDeviceModel::PipeAborted(UCHAR) {}

void UsbDeviceModel::PipeReset(UCHAR) {}

UsbReply UsbDeviceModel::ResetPort() {
  return UsbReply::Done();
}

UsbReply UsbDeviceModel::QueryPortStatus() {
  return UsbReply::Done();
}

void UsbDeviceModel::Attached(UsbHost&) {}

void UsbDeviceModel::Detached() {}

}  // namespace veltocam::host
