// The service interface: a record of class-layer entry points that the device
// layer obtains through the plug-and-play query-interface request, for the
// bulk, interrupt and pipe services it has no direct call for.
#pragma once

#include "platform/streamclass.h"

constexpr GUID kServiceInterfaceGuid = {
    0x2BCB75C0, 0xB27F, 0x11D1, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};
constexpr USHORT kServiceInterfaceVersion = 0x200;

// Called as Completion(DeviceContext, CompletionContext, Status).
using ServiceCompletion = void (*)(PVOID deviceContext, PVOID completionContext, NTSTATUS status);

using InterruptWaitEntry = NTSTATUS (*)(PVOID deviceContext, ULONG pipeIndex, PVOID buffer,
                                        ULONG length, ServiceCompletion completion,
                                        PVOID completionContext, UCHAR resubmit);
using BulkTransferEntry = NTSTATUS (*)(PVOID deviceContext, ULONG pipeIndex, PVOID buffer,
                                       ULONG length, ServiceCompletion completion,
                                       PVOID completionContext);
// TRUE on success; on failure the request's status says why.
using ChangeVideoFormatEntry = BOOLEAN (*)(PVOID deviceContext, HW_STREAM_REQUEST_BLOCK* srb);
// State 1 stops streaming of stream 0, any other value restarts it.
using IsoPipeControlEntry = NTSTATUS (*)(PVOID deviceContext, ULONG state);
using BulkCancelEntry = NTSTATUS (*)(PVOID deviceContext, ULONG pipeIndex);

struct ServiceInterface {
  USHORT Size;
  USHORT Version;
  PVOID Context;               // left as the requester filled it
  PVOID InterfaceReference;    // left as the requester filled it
  PVOID InterfaceDereference;  // left as the requester filled it
  InterruptWaitEntry InterruptWait;
  BulkTransferEntry BulkTransfer;
  ChangeVideoFormatEntry ChangeVideoFormat;
  IsoPipeControlEntry IsoPipeControl;
  BulkCancelEntry BulkCancel;
};
