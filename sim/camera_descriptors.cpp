#include "sim/camera_descriptors.h"

#include <algorithm>

namespace veltocam::sim {

namespace {

constexpr std::size_t kPageSize = 64;
constexpr std::size_t kSizeIndexOffset = 20;
constexpr std::size_t kSensorNameOffset = 28;
constexpr std::size_t kSensorNameLength = 20;
constexpr std::size_t kProductNameOffset = 48;
constexpr std::size_t kProductNameLength = 16;

UCHAR Low(USHORT value) {
  return static_cast<UCHAR>(value & 0xFF);
}
UCHAR High(USHORT value) {
  return static_cast<UCHAR>(value >> 8);
}

void PutText(std::vector<UCHAR>& page, std::size_t offset, std::size_t length,
             const std::string& text, UCHAR pad) {
  for (std::size_t i = 0; i < length; ++i) {
    page[offset + i] = i < text.size() ? static_cast<UCHAR>(text[i]) : pad;
  }
}

}  // namespace

std::vector<UCHAR> CameraDeviceDescriptor() {
  return {18,
          USB_DEVICE_DESCRIPTOR_TYPE,
          0x10,
          0x01,  // USB 1.1
          0xFF,
          0xFF,
          0xFF,  // vendor-specific class
          8,     // default pipe packet size
          Low(kCameraVendorId),
          High(kCameraVendorId),
          Low(kCameraProductId),
          High(kCameraProductId),
          0x00,
          0x01,  // device release 1.00
          0,
          0,
          0,  // no strings
          1};
}

std::vector<UCHAR> CameraConfigurationDescriptor() {
  std::vector<UCHAR> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
  for (UCHAR alternate = 0; alternate < kCameraAlternateSettings; ++alternate) {
    const USHORT packet = kCameraPacketSizes[alternate];
    bytes.insert(bytes.end(),
                 {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, alternate, 1, 0xFF, 0xFF, 0xFF, 0});
    bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kCameraIsoEndpoint,
                               USB_ENDPOINT_TYPE_ISOCHRONOUS, Low(packet), High(packet), 1});
  }
  bytes[2] = Low(static_cast<USHORT>(bytes.size()));
  bytes[3] = High(static_cast<USHORT>(bytes.size()));
  return bytes;
}

std::vector<UCHAR> ProductDescriptorPage0(const CameraIdentity& identity) {
  std::vector<UCHAR> page(kPageSize, 0);
  PutText(page, 0, kSizeIndexOffset, "VELTO PCCAM DESC", 0);
  std::copy(identity.sizeIndex.begin(), identity.sizeIndex.end(), page.begin() + kSizeIndexOffset);
  PutText(page, kSensorNameOffset, kSensorNameLength, identity.sensorName, ' ');
  PutText(page, kProductNameOffset, kProductNameLength, identity.productName, 0);
  return page;
}

std::vector<UCHAR> ProductDescriptorPage1(const CameraIdentity& identity) {
  std::vector<UCHAR> page(kPageSize, 0);
  for (std::size_t n = 0; n < identity.sizeTable.size(); ++n) {
    const SensorSizeEntry& entry = identity.sizeTable[n];
    page[4 * n] = High(entry.width);
    page[4 * n + 1] = Low(entry.width);
    page[4 * n + 2] = High(entry.height);
    page[4 * n + 3] = Low(entry.height);
  }
  return page;
}

SensorSizeEntry SensorWindowOf(const CameraIdentity& identity, int sizeNumber) {
  if (sizeNumber < 1 || sizeNumber > static_cast<int>(identity.sizeIndex.size())) return {};
  const UCHAR entry = identity.sizeIndex[sizeNumber - 1];
  if (entry == 0 || entry >= identity.sizeTable.size()) return {};
  return identity.sizeTable[entry];
}

}  // namespace veltocam::sim
