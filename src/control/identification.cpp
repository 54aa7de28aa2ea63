#include "control/identification.h"

#include "control/camerastate.h"
#include "control/configstore.h"
#include "control/tracing.h"
#include "control/vendorcommands.h"

namespace {

constexpr ULONG kVersionBytes = 5;
constexpr ULONG kOldVersionBytes = 4;
constexpr ULONG kDescriptorPageSize = 64;
constexpr USHORT kDescriptorPage0 = 0;
constexpr USHORT kSizeTablePage = 1;

// Product descriptor page 0.
constexpr ULONG kSizeIndexOffset = 20;
constexpr ULONG kSizeIndexCount = 8;
constexpr ULONG kSensorNameOffset = 28;
constexpr ULONG kSensorNameLength = 20;
constexpr ULONG kProductNameOffset = 48;

// The size table page has 16 entries of four bytes; an index past them names
// no entry of the page.
constexpr ULONG kSizeTableEntries = 16;

constexpr ULONG kDefaultSensorWidth = 320;
constexpr ULONG kDefaultSensorHeight = 240;
constexpr int kMmxBit = 1 << 23;

USHORT BigEndianWord(const UCHAR* bytes) {
  return static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
}

void ReadSizeTable(DeviceContext* context) {
  VendorReadValue(context, kRequestProductDescriptor, kSizeTablePage, 0, SizeTablePage,
                  kDescriptorPageSize);
  for (ULONG k = 0; k < kSensorSizeCount; ++k) context->SensorSize[k] = {0, 0};
  for (ULONG k = 0; k < kSizeIndexCount; ++k) {
    const ULONG n = ProductDescriptor[kSizeIndexOffset + k];
    if (n == 0 || n >= kSizeTableEntries) continue;
    context->SensorSize[k] = {BigEndianWord(&SizeTablePage[4 * n]),
                              BigEndianWord(&SizeTablePage[4 * n + 2])};
  }
}

}  // namespace

ULONG ReadCameraInfo(DeviceContext* context, ULONG print) {
  // Zeroed, so a version read that fails reads as generation 0: old firmware.
  UCHAR version[kVersionBytes] = {};
  VendorReadValue(context, kRequestFirmwareVersion, 0, 0, version, 1);
  if (IsOldFirmware(version[0])) {
    for (USHORT byte = 0; byte < kOldVersionBytes; ++byte) {
      VendorReadValue(context, kRequestFirmwareVersion, 0, byte, &version[byte], 1);
    }
    FirmwareVersion = version[0];
    if (print) {
      TraceLine("\nOld F/W Version(%x,%x,%x,%x) -> No Support", version[0], version[1], version[2],
                version[3]);
    }
    return 0;
  }

  VendorReadValue(context, kRequestFirmwareVersion, 0, 0, version, kVersionBytes);
  FirmwareVersion = version[0];
  if (print) {
    TraceLine("\nF/W Version(%x,%x,%x,%x,%x)", version[0], version[1], version[2], version[3],
              version[4]);
  }

  VendorReadValue(context, kRequestProductDescriptor, kDescriptorPage0, 0, ProductDescriptor,
                  kDescriptorPageSize);
  if (print) {
    const UCHAR* index = &ProductDescriptor[kSizeIndexOffset];
    // Not terminated on the camera; a NUL inside ends the name early.
    char sensorName[kSensorNameLength + 1] = {};
    RtlCopyMemory(sensorName, &ProductDescriptor[kSensorNameOffset], kSensorNameLength);
    TraceLine("\nProduct Descriptor");
    TraceLine("\n  >PC Camera size index: %02x, %02x, %02x, %02x, %02x, %02x, %02x, %02x", index[0],
              index[1], index[2], index[3], index[4], index[5], index[6], index[7]);
    TraceLine("\n  >Sensor Name:[%s]", sensorName);
  }

  RtlZeroMemory(ProductName, sizeof ProductName);
  RtlCopyMemory(ProductName, &ProductDescriptor[kProductNameOffset], kProductNameLength);
  if (print) TraceLine("\n  >Product Name:[%s]", reinterpret_cast<const char*>(ProductName));

  if (context->NoSensorSize == 1) {
    if (print) TraceLine("\nNo Sensor Information -> Force set all sensor size to 320*240");
    for (SensorWindow& window : context->SensorSize) {
      window = {kDefaultSensorWidth, kDefaultSensorHeight};
    }
  } else {
    ReadSizeTable(context);
  }

  if (print) TraceLine("\n-----------");
  return 1;
}

NTSTATUS Initialize(DEVICE_OBJECT*, PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  TraceLine("KorvaneCam_Initialize");
  ReadCameraInfo(context, 1);
  if (IsOldFirmware(FirmwareVersion)) {
    DebugTrace("\nOld F/W can't use on this version video driver.\n");
    return STATUS_UNSUCCESSFUL;
  }
  context->HasMmx = HasMmxSupport();
  return STATUS_SUCCESS;
}

NTSTATUS UnInitialize(DEVICE_OBJECT*, PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  DebugTrace("VELTOCAM_UnInitialize\n");
  WriteHwState(context, 0);
  FreeDeviceBuffers(context);
  return STATUS_SUCCESS;
}

ULONG HasMmxSupport() {
  int registers[4] = {};
  PlatformCpuid(registers, 1);
  return (registers[3] & kMmxBit) != 0 ? 1 : 0;
}
