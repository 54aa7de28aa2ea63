#include "pipeline/snapshot.h"

#include "platform/files.h"
#include "platform/registry.h"

namespace {

// The property handler may set a new count at any time: take one off only
// while some are wanted, never wrapping below 0.
void TakeOneSnapshot() {
  UCHAR wanted = bSnap.load();
  while (wanted != 0 && !bSnap.compare_exchange_weak(wanted, static_cast<UCHAR>(wanted - 1))) {
  }
}

}  // namespace

NTSTATUS WriteSnapshotFile(DeviceContext* context, const UCHAR* data, ULONG length) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\SystemRoot\\snap.dat");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io{};
  NTSTATUS status =
      ZwCreateFile(&file, GENERIC_WRITE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                   FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;

  if (data == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = ZwWriteFile(file, nullptr, nullptr, nullptr, &io, data, length, nullptr, nullptr);
  }
  ZwClose(file);
  if (!NT_SUCCESS(status)) return status;

  TakeOneSnapshot();
  ULONG waiting = 1;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, context->BufferKeyPath, u"Buffer", REG_DWORD,
                               &waiting, sizeof waiting);
}
