#include "pipeline/exposure.h"

#include "control/tracing.h"
#include "control/vendorcommands.h"

namespace {

// Measurement windows.
constexpr USHORT kWindowBase = 0x21B0;  // 0x21B0 .. 0x21BC
constexpr USHORT kCentreBase = 0x21C1;  // 0x21C1 .. 0x21C4
// Sensor access.
constexpr USHORT kSensorAddress = 0x2A08;
constexpr USHORT kSensorData = 0x2A10;
constexpr USHORT kSensorStart = 0x2A06;
constexpr USHORT kSensorBusy = 0x2A07;
constexpr USHORT kSensorStatus = 0x2A30;

constexpr int kInitialExposure = 345;
constexpr int kSizeThresholds[8] = {16, 32, 64, 128, 256, 512, 1024, 2048};
constexpr int kPollLimit = 1000;

// Index of the first threshold that holds `length`; longer than all of them
// stays in the last class.
int SizeClass(int length) {
  for (int i = 0; i < 8; ++i) {
    if (kSizeThresholds[i] >= length) return i;
  }
  return 7;
}

void Write(DeviceContext* context, USHORT address, int value) {
  RegisterWrite(context, address, static_cast<UCHAR>(value));
}

// Reads `address` until (byte & mask) == 0, at most kPollLimit reads. A read
// that fails leaves the byte as it was (0 before the first answer).
void PollUntilClear(DeviceContext* context, USHORT address, UCHAR mask) {
  UCHAR value = 0;
  for (int n = 0; n < kPollLimit; ++n) {
    RegisterRead(context, address, &value);
    if ((value & mask) == 0) return;
  }
}

}  // namespace

void InitSensorAe(DeviceContext* context) {
  TraceLine("\nInitial VELTOB Motolora AE");
  const int width = static_cast<int>(context->RealImageWidth);
  const int height = static_cast<int>(context->RealImageHeight);

  const int w = width - 32;
  const int h = height - 32;
  const int windows[13] = {
      w / 8,
      h / 8,
      4,
      4,
      w / 16 + 4,
      h / 16 + 4,
      3 * w / 32 + 4,
      3 * h / 32 + 4,
      w / 16 + 4,
      h / 16 + 4,
      3 * w / 32 + 4,
      3 * h / 32 + 4,
      SizeClass(w) * 16 + SizeClass(h),
  };
  for (int i = 0; i < 13; ++i) Write(context, static_cast<USHORT>(kWindowBase + i), windows[i]);

  const int f = width / 2 < 256 ? width / 2 : 256;
  const int g = height / 2 < 256 ? height / 2 : 256;
  Write(context, kCentreBase, ((width - f) / 2) / 4);
  Write(context, kCentreBase + 1, ((height - g) / 2) / 4);
  Write(context, kCentreBase + 2, f / 4);
  Write(context, kCentreBase + 3, g / 4);

  Write(context, kSensorAddress, 0x4E);
  Write(context, kSensorStart, 1);
  PollUntilClear(context, kSensorStart, 0xFF);

  UCHAR status = 0;
  RegisterRead(context, kSensorStatus, &status);
  Write(context, kSensorAddress, 0x4F);

  Write(context, kSensorData, kInitialExposure % 256);
  Write(context, kSensorAddress, 0x4E);
  if ((status & 0x40) != 0) {
    Write(context, kSensorData, kInitialExposure / 256);
  } else {
    Write(context, kSensorData, (kInitialExposure / 256) | 0x40);
  }

  Write(context, kSensorAddress, 0x10);
  Write(context, kSensorData, 32);
  PollUntilClear(context, kSensorBusy, 0x01);
}
