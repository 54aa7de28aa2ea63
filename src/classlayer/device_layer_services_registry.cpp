// One registry value's data through the full value query.
#include "classlayer/device_layer_services.h"
#include "platform/registry.h"

namespace {
constexpr ULONG kPoolTag = PoolTag("Wdm ");
// The fixed part of the full value record, as the query lays it out.
constexpr ULONG kFullInformationHeader = 24;
}  // namespace

NTSTATUS QueryRegistryValue(HANDLE keyHandle, const WCHAR* valueName, ULONG nameLength, PVOID data,
                            ULONG dataLength) {
  const ULONG size = dataLength + nameLength + kFullInformationHeader;
  auto* info =
      static_cast<KEY_VALUE_FULL_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
  if (info == nullptr) return STATUS_NO_MEMORY;

  UNICODE_STRING name;
  name.Buffer = const_cast<WCHAR*>(valueName);
  name.Length = static_cast<USHORT>(nameLength);
  name.MaximumLength = static_cast<USHORT>(nameLength);
  ULONG resultLength = 0;
  NTSTATUS status =
      ZwQueryValueKey(keyHandle, &name, KeyValueFullInformation, info, size, &resultLength);
  if (NT_SUCCESS(status)) {
    // Never copy more than the caller's buffer holds or than the record has.
    ULONG copy = info->DataLength < dataLength ? info->DataLength : dataLength;
    if (info->DataOffset > size || copy > size - info->DataOffset) {
      status = STATUS_BUFFER_OVERFLOW;
    } else {
      RtlCopyMemory(data, reinterpret_cast<UCHAR*>(info) + info->DataOffset, copy);
    }
  }
  ExFreePool(info);
  return status;
}
