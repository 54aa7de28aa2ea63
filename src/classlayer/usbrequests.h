// Synchronous USB requests: one at a time per device through UrbLock, each
// limited to 9 seconds, plus the vendor control service, the alternate
// setting switch, descriptor reads, pipe abort and reset, and the 30 ms port
// status and port reset requests.
#pragma once

#include "classlayer/device.h"

constexpr LONGLONG kUrbTimeout = -90'000'000;       // 9 s, relative
constexpr LONGLONG kPortRequestTimeout = -300'000;  // 30 ms, relative

// Passive level only. The result is the I/O status; the request block's own
// status is left for the caller to test.
NTSTATUS SubmitUrbSync(ClassDevice* device, URB* urb);

NTSTATUS ReadDeviceDescriptor(ClassDevice* device, USB_DEVICE_DESCRIPTOR* descriptor);
// Reads up to `length` bytes of configuration descriptor 0; *returned = bytes moved.
NTSTATUS ReadConfigurationDescriptor(ClassDevice* device, PVOID buffer, ULONG length,
                                     ULONG* returned);
NTSTATUS AbortPipe(ClassDevice* device, USBD_PIPE_HANDLE pipe);
NTSTATUS ResetPipe(ClassDevice* device, USBD_PIPE_HANDLE pipe);

// Sent directly, not through SubmitUrbSync; STATUS_UNSUCCESSFUL when the bus
// does not answer within 30 ms (a late answer is absorbed safely).
NTSTATUS GetPortStatus(ClassDevice* device, ULONG* portStatus);
NTSTATUS ResetPort(ClassDevice* device);
