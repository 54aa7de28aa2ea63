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
