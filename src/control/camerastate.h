// Values the driver publishes in the configuration store for other software on
// the machine (written, never read back).
#pragma once

#include "control/devicecontext.h"

// HWSTATE\"HwState": 1 while the driver holds the camera, 0 once it let go.
NTSTATUS WriteHwState(DeviceContext* context, UCHAR state);

// GoodFrame\"Flag": 1 once the first good frames of a stream have been
// delivered, 0 while a stream starts or stops. Writing 0 also restarts the
// good-frame count. Returns the store's status.
NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag);

// Power callbacks: nothing is saved before the low-power state (a running
// stream was stopped, and its settings saved, by StopCapture); the camera is
// brought back when power returns. Both succeed whatever happens.
NTSTATUS SaveState(DEVICE_OBJECT* bus, PVOID deviceContext);
NTSTATUS RestoreState(DEVICE_OBJECT* bus, PVOID deviceContext);
