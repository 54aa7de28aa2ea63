// Bulk and interrupt transfer services: reads of a stream served by a bulk
// pipe, stream 1 writes over a bulk OUT pipe, and the service interface's
// bulk, interrupt and cancel entries.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"
#include "classlayer/service_interface.h"

NTSTATUS InterruptWait(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                       ServiceCompletion completion, PVOID completionContext, UCHAR resubmit);
NTSTATUS BulkTransfer(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                      ServiceCompletion completion, PVOID completionContext);
NTSTATUS BulkCancel(PVOID deviceContext, ULONG pipeIndex);
