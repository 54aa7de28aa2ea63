// Services the class layer offers the device layer. The device layer passes
// its own record (the device context) where a device is meant.
#pragma once

#include "classlayer/callback_table.h"

struct HW_STREAM_REQUEST_BLOCK;  // a request from the stream-class port

// The device layer's request filter: sees every device request first.
using DeviceRequestFilter = void (*)(HW_STREAM_REQUEST_BLOCK* srb);

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
