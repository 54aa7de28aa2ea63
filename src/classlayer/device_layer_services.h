// Services the class layer offers the device layer. The device layer passes
// its own record (the device context) where a device is meant.
#pragma once

#include "classlayer/callback_table.h"

struct HW_STREAM_REQUEST_BLOCK;  // a request from the stream-class port

// The device layer's request filter: sees every device request first.
using DeviceRequestFilter = void (*)(HW_STREAM_REQUEST_BLOCK* srb);

// A handler the device layer puts on a stream object: it sees each request
// first and sets *handled when it dealt with it (and completed it).
using DeviceStreamHandler = void (*)(HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN* handled);

// The device layer hands its handlers over in the stream object's data and
// control entries at SRB_OPEN_STREAM; the class layer reads them back from
// there before it installs its own entries.
inline void (*AsStreamEntry(DeviceStreamHandler handler))(HW_STREAM_REQUEST_BLOCK*) {
  return reinterpret_cast<void (*)(HW_STREAM_REQUEST_BLOCK*)>(
      reinterpret_cast<void (*)()>(handler));
}
inline DeviceStreamHandler AsDeviceStreamHandler(void (*entry)(HW_STREAM_REQUEST_BLOCK*)) {
  return reinterpret_cast<DeviceStreamHandler>(reinterpret_cast<void (*)()>(entry));
}

NTSTATUS ClassDriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath,
                          ULONG deviceContextSize, ULONG frameContextSize,
                          DeviceRequestFilter requestFilter);

// dispatch 0: only returns the device context (and the bus device object);
// dispatch 1: the class layer also handles the device request and completes it.
PVOID ClassReceiveDevicePacket(HW_STREAM_REQUEST_BLOCK* srb, const BasicCallbackTable* basicTable,
                               DEVICE_OBJECT** busDeviceObject, UCHAR dispatch);

// Takes effect only for version 0x200; always returns 0x200.
ULONG InstallCallbackTable(PVOID deviceContext, const DeviceCallbackTable* table, ULONG version,
                           ULONG controlFlags);

NTSTATUS SelectAlternateSetting(PVOID deviceContext, USBD_INTERFACE_INFORMATION* interfaceInfo);

using ControlRequestCompletion = void (*)(PVOID deviceContext, PVOID completionContext,
                                          NTSTATUS status);

// A vendor request to the device; direction non-zero = device to host. Below
// DISPATCH_LEVEL it runs synchronously; above, it is deferred and returns
// STATUS_PENDING (buffer and length must stay valid until completion runs).
NTSTATUS ControlRequest(PVOID deviceContext, UCHAR request, USHORT value, USHORT index,
                        PVOID buffer, ULONG* length, UCHAR direction,
                        ControlRequestCompletion completion, PVOID completionContext);

// Reads one value's data through the full value query; nameLength in bytes.
NTSTATUS QueryRegistryValue(HANDLE keyHandle, const WCHAR* valueName, ULONG nameLength, PVOID data,
                            ULONG dataLength);
