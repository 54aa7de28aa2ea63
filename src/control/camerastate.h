// Values the driver publishes in the configuration store for other software on
// the machine (written, never read back).
#pragma once

#include "control/devicecontext.h"

// GoodFrame\"Flag": 1 once the first good frames of a stream have been
// delivered, 0 while a stream starts or stops. Writing 0 also restarts the
// good-frame count. Returns the store's status.
NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag);
