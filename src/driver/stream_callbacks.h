// The device layer's stream and power callbacks. Each puts together the
// control plane's camera steps, the stored settings and the frame pipeline's
// preparation, in the order the camera needs them.
#pragma once

#include "classlayer/callback_table.h"

NTSTATUS AllocateBandwidth(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG* rawFrameLength,
                           KSDATAFORMAT* format, ULONG streamNumber);
NTSTATUS StopCapture(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG streamNumber);
NTSTATUS RestoreState(DEVICE_OBJECT* bus, PVOID deviceContext);
