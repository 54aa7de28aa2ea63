// Bringing a camera up and down, and learning what it is: firmware
// generation, product name (which names its configuration keys) and the
// sensor window of each capture size.
#pragma once

#include "control/devicecontext.h"

// Firmware below generation 2 answers one version byte per request and is not
// supported; a generation of 0 (or a version read that never arrived) counts
// as such firmware too.
inline bool IsOldFirmware(UCHAR generation) {
  return generation < 2;
}

// Callback after the configuration is selected: reads the camera's
// information (traced) and refuses old firmware with STATUS_UNSUCCESSFUL.
NTSTATUS Initialize(DEVICE_OBJECT* bus, PVOID deviceContext);
// Callback at teardown: publishes HwState 0 and frees every buffer the
// context owns. Always succeeds.
NTSTATUS UnInitialize(DEVICE_OBJECT* bus, PVOID deviceContext);

// Reads the firmware version, product descriptor and size table into the
// module-wide state and SensorSize. `print` writes the camera-information
// traces whatever DebugMessage holds. 1 when the descriptor was read, 0 for
// old firmware (nothing more is read then).
ULONG ReadCameraInfo(DeviceContext* context, ULONG print);

// 1 when the processor reports MMX (CPUID leaf 1, EDX bit 23).
ULONG HasMmxSupport();
