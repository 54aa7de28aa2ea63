// Picture settings and stream settings in the configuration store: the frame
// rate and image type read at stream start, and the video processing
// amplifier values restored at stream start and power restore, saved when
// capture stops and after each change.
#pragma once

#include "control/devicecontext.h"

// Frame rate from the device's driver key (clamped to 30) and image type
// from CONTROL. Fails only when the driver key cannot be opened.
NTSTATUS LoadStreamSettings(DEVICE_OBJECT* physicalDeviceObject, DeviceContext* context);

// Reads the VIDEOPROCAMP key and sends every amplifier value to the camera
// again: the stored ones when its "ApplyRegistryValues" is 1 (a value out of
// range, or absent, gives its built-in default), else the defaults, with the
// camera balancing white on its own. ApplyRegistryValues takes the key's
// switch (0xFFFFFFFF when absent). RestoringProperties is 1 meanwhile.
// Succeeds.
NTSTATUS RestoreProcAmpSettings(DeviceContext* context);

// Writes ApplyRegistryValues = 1 and every amplifier value that was restored
// or set, when saving is allowed (the switch is 1 or 0xFFFFFFFF); the status
// of the last write, or of the first when that one failed.
NTSTATUS SaveProcAmpSettings(DeviceContext* context);

// Writes the value with this internal index (1..5, 8) after a change, when
// saving is allowed; in a store without the switch, it first writes the
// switch = 1, so that the next restore applies the value.
NTSTATUS PersistProcAmpValue(DeviceContext* context, ULONG internalIndex);
