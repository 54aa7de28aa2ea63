// Picture settings and stream settings in the configuration store: the frame
// rate and image type read at stream start, and the video processing
// amplifier values saved when capture stops and after each change.
#pragma once

#include "control/devicecontext.h"

// Frame rate from the device's driver key (clamped to 30) and image type
// from CONTROL. Fails only when the driver key cannot be opened.
NTSTATUS LoadStreamSettings(DEVICE_OBJECT* physicalDeviceObject, DeviceContext* context);

// Writes every amplifier value (and ApplyRegistryValues = 1) when saving is
// allowed; the status of the last write.
NTSTATUS SaveProcAmpSettings(DeviceContext* context);

// Writes the value with this property id (1..5, 8) after a change, when
// saving is allowed.
NTSTATUS PersistProcAmpValue(DeviceContext* context, ULONG propertyId);
