// What the simulated camera tells about itself: its USB descriptors (one
// interface whose alternate settings 0..8 carry ever larger isochronous
// packets) and the two pages of its product descriptor (size-index list,
// sensor name, product name; the size table).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb.h"

namespace veltocam::sim {

constexpr UCHAR kCameraIsoEndpoint = 0x81;
constexpr UCHAR kCameraAlternateSettings = 9;
// Maximum isochronous packet size of each alternate setting.
constexpr std::array<USHORT, kCameraAlternateSettings> kCameraPacketSizes = {
    0, 128, 256, 384, 512, 680, 800, 900, 1023};

constexpr USHORT kCameraVendorId = 0xF00D;
constexpr USHORT kCameraProductId = 0x0325;

// The name the camera reports; its configuration keys are named after it.
constexpr const char* kCameraProductName = "VeltoCam PC325";

struct SensorSizeEntry {
  USHORT width = 0;
  USHORT height = 0;
};

// What the product descriptor reports; the defaults are the shipped camera's.
struct CameraIdentity {
  // Generation first; below 2 the firmware answers one byte per request.
  std::array<UCHAR, 5> firmwareVersion = {2, 1, 0, 7, 0x31};
  std::string productName = kCameraProductName;  // up to 16 characters
  std::string sensorName = "VLT0325 CMOS VGA";   // up to 20 characters
  // Byte k names the size table entry of capture size number k + 1.
  std::array<UCHAR, 8> sizeIndex = {1, 2, 3, 0, 0, 0, 0, 0};
  std::array<SensorSizeEntry, 16> sizeTable = {
      SensorSizeEntry{}, {640, 480}, {320, 240}, {160, 120}};
};

std::vector<UCHAR> CameraDeviceDescriptor();
std::vector<UCHAR> CameraConfigurationDescriptor();

// 64 bytes each.
std::vector<UCHAR> ProductDescriptorPage0(const CameraIdentity& identity);
std::vector<UCHAR> ProductDescriptorPage1(const CameraIdentity& identity);

// The sensor window of a capture size number (1..8), 0 x 0 when it has none.
SensorSizeEntry SensorWindowOf(const CameraIdentity& identity, int sizeNumber);

}  // namespace veltocam::sim
