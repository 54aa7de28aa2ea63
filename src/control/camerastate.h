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

// HWSNAP\"HWSNAP" = 1: the snapshot button was seen pressed. Whoever reads it
// clears it.
NTSTATUS WriteHwSnap(DeviceContext* context);

// Asks the camera for its snapshot-button status (2 bytes into
// SnapshotStatus) without waiting for the answer: SnapshotStatusComplete
// publishes a press when the answer comes, at once below dispatch level,
// else from a worker. One poll is outstanding at a time: while one is, no
// other is sent. False when the transfer failed at once.
bool RequestSnapshotStatus(DeviceContext* context);
// A successful answer with bit 1 of its first byte set publishes HWSNAP and
// reads the status once more (that answer is not used).
void SnapshotStatusComplete(PVOID deviceContext, PVOID completionContext, NTSTATUS status);

// Power callbacks: nothing is saved before the low-power state (a running
// stream was stopped, and its settings saved, by StopCapture). Succeeds.
NTSTATUS SaveState(DEVICE_OBJECT* bus, PVOID deviceContext);

// Bringing the camera back when power returns, around loading the stream
// settings: the camera and the store are read again, then (when the settings
// loaded) the camera is initialised and an alternate setting selected.
// ReviveCamera is true when a setting was selected and the packet state
// reset, so that the picture settings can be sent again.
void BeginCameraRestore(DeviceContext* context);
bool ReviveCamera(DeviceContext* context);
