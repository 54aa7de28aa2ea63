// Configuration descriptors read without trusting their lengths: the walk
// stops at a descriptor shorter than its own header or one that runs past
// the end, so a malformed descriptor can shorten the answer but never lead a
// read outside the bytes given.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "platform/usb.h"

namespace veltocam::host {

// Calls visit(descriptor) for each well-chained descriptor in bytes, in order,
// until visit returns false. Each descriptor passed has at least 2 bytes and
// lies wholly inside bytes.
template <typename Visit>
void ForEachDescriptor(std::span<const UCHAR> bytes, Visit&& visit) {
  std::size_t at = 0;
  while (bytes.size() - at >= 2) {
    const UCHAR length = bytes[at];
    if (length < 2 || length > bytes.size() - at) return;
    if (!visit(bytes.data() + at)) return;
    at += length;
  }
}

struct UsbEndpointInfo {
  UCHAR address;
  UCHAR attributes;
  USHORT maxPacketSize;  // bits 0..10 of wMaxPacketSize
  UCHAR interval;

  UCHAR Type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
  bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct UsbAlternateSetting {
  UCHAR interfaceNumber;
  UCHAR alternateSetting;
  UCHAR interfaceClass;
  UCHAR interfaceSubClass;
  UCHAR interfaceProtocol;
  UCHAR declaredEndpoints;  // bNumEndpoints
  std::vector<UsbEndpointInfo> endpoints;

  // Every endpoint the interface descriptor announces is there.
  bool Complete() const { return endpoints.size() == declaredEndpoints; }
};

struct UsbConfiguration {
  UCHAR value;          // bConfigurationValue
  UCHAR numInterfaces;  // bNumInterfaces
  std::vector<UsbAlternateSetting> settings;

  const UsbAlternateSetting* Find(UCHAR interfaceNumber, UCHAR alternateSetting) const;
  bool HasInterface(UCHAR interfaceNumber) const;
};

// Null when the bytes do not start with a configuration descriptor whose
// wTotalLength covers at least its own header. Bytes beyond wTotalLength are
// ignored; a wTotalLength beyond the bytes is cut to them.
std::optional<UsbConfiguration> ParseConfiguration(std::span<const UCHAR> bytes);

}  // namespace veltocam::host
