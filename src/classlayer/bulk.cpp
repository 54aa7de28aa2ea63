// Placeholder until the bulk and interrupt services are built.
#include "classlayer/bulk.h"

NTSTATUS InterruptWait(PVOID, ULONG, PVOID, ULONG, ServiceCompletion, PVOID, UCHAR) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BulkTransfer(PVOID, ULONG, PVOID, ULONG, ServiceCompletion, PVOID) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BulkCancel(PVOID, ULONG) {
  return STATUS_NOT_IMPLEMENTED;
}
