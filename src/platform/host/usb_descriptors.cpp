#include "platform/host/usb_descriptors.h"

#include <algorithm>

namespace veltocam::host {

const UsbAlternateSetting* UsbConfiguration::Find(UCHAR interfaceNumber,
                                                  UCHAR alternateSetting) const {
  for (const UsbAlternateSetting& setting : settings) {
    if (setting.interfaceNumber == interfaceNumber &&
        setting.alternateSetting == alternateSetting) {
      return &setting;
    }
  }
  return nullptr;
}

bool UsbConfiguration::HasInterface(UCHAR interfaceNumber) const {
  return std::any_of(settings.begin(), settings.end(), [&](const UsbAlternateSetting& s) {
    return s.interfaceNumber == interfaceNumber;
  });
}

std::optional<UsbConfiguration> ParseConfiguration(std::span<const UCHAR> bytes) {
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return std::nullopt;
  USB_CONFIGURATION_DESCRIPTOR header;
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      header.bLength < sizeof(header) || header.wTotalLength < header.bLength) {
    return std::nullopt;
  }
  UsbConfiguration configuration{header.bConfigurationValue, header.bNumInterfaces, {}};
  UsbAlternateSetting* current = nullptr;
  ForEachDescriptor(
      bytes.first(std::min<std::size_t>(header.wTotalLength, bytes.size())), [&](const UCHAR* d) {
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
          USB_INTERFACE_DESCRIPTOR i;
          std::memcpy(&i, d, sizeof(i));
          configuration.settings.push_back({i.bInterfaceNumber,
                                            i.bAlternateSetting,
                                            i.bInterfaceClass,
                                            i.bInterfaceSubClass,
                                            i.bInterfaceProtocol,
                                            i.bNumEndpoints,
                                            {}});
          current = &configuration.settings.back();
        } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) && current != nullptr &&
                   current->endpoints.size() < current->declaredEndpoints) {
          USB_ENDPOINT_DESCRIPTOR e;
          std::memcpy(&e, d, sizeof(e));
          current->endpoints.push_back({e.bEndpointAddress, e.bmAttributes,
                                        static_cast<USHORT>(e.wMaxPacketSize & 0x7FF),
                                        e.bInterval});
        }
        return true;
      });
  return configuration;
}

}  // namespace veltocam::host
