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
// stream was stopped, and its settings saved, by StopCapture). Succeeds.
NTSTATUS SaveState(DEVICE_OBJECT* bus, PVOID deviceContext);

// Bringing the camera back when power returns, around loading the stream
// settings: the camera and the store are read again, then (when the settings
// loaded) the camera is initialised and an alternate setting selected.
void BeginCameraRestore(DeviceContext* context);
void ReviveCamera(DeviceContext* context);
