// Counted strings.
#include "platform/kernel.h"

namespace {
constexpr ULONG kStringTag = PoolTag("Strg");
}

void RtlInitUnicodeString(UNICODE_STRING* destination, const WCHAR* source) {
  destination->Buffer = const_cast<WCHAR*>(source);
  if (source == nullptr) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  SIZE_T n = 0;
  while (source[n] != 0) ++n;
  destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  destination->MaximumLength = static_cast<USHORT>(destination->Length + sizeof(WCHAR));
}

void RtlInitAnsiString(ANSI_STRING* destination, const CHAR* source) {
  destination->Buffer = const_cast<CHAR*>(source);
  if (source == nullptr) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  SIZE_T n = std::strlen(source);
  destination->Length = static_cast<USHORT>(n);
  destination->MaximumLength = static_cast<USHORT>(n + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* destination, const ANSI_STRING* source,
                                      BOOLEAN allocate) {
  const ULONG bytes = static_cast<ULONG>(source->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  if (allocate) {
    destination->Buffer =
        static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (destination->Buffer == nullptr) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (destination->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  // Bytes map one to one: the kernel's ANSI code page for the names used here is ASCII.
  for (USHORT i = 0; i < source->Length; ++i) {
    destination->Buffer[i] = static_cast<WCHAR>(static_cast<UCHAR>(source->Buffer[i]));
  }
  destination->Length = static_cast<USHORT>(bytes);
  if (destination->MaximumLength >= bytes + sizeof(WCHAR)) destination->Buffer[source->Length] = 0;
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(UNICODE_STRING* string) {
  if (string->Buffer != nullptr) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}
