// Basic kernel types, status codes and list/string records, under the names the
// kernel gives them. The driver sees the platform only through these headers.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using CHAR = char;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = std::int32_t;
using KPRIORITY = LONG;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  WCHAR* Buffer;
};

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  CHAR* Buffer;
};

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

constexpr NTSTATUS NtStatus(std::uint32_t code) { return static_cast<NTSTATUS>(code); }

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = NtStatus(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = NtStatus(0x8000001A);
constexpr NTSTATUS STATUS_NO_DATA_DETECTED = NtStatus(0x80000022);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = NtStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NtStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_HANDLE = NtStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NtStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = NtStatus(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = NtStatus(0xC0000010);
constexpr NTSTATUS STATUS_END_OF_FILE = NtStatus(0xC0000011);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = NtStatus(0xC0000016);
constexpr NTSTATUS STATUS_NO_MEMORY = NtStatus(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = NtStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = NtStatus(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = NtStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = NtStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = NtStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = NtStatus(0xC000003A);
constexpr NTSTATUS STATUS_SEMAPHORE_LIMIT_EXCEEDED = NtStatus(0xC0000047);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = NtStatus(0xC000009C);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = NtStatus(0xC000009D);
constexpr NTSTATUS STATUS_IO_TIMEOUT = NtStatus(0xC00000B5);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = NtStatus(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = NtStatus(0xC0000120);
constexpr NTSTATUS STATUS_FILE_CLOSED = NtStatus(0xC0000128);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = NtStatus(0xC0000184);
constexpr NTSTATUS STATUS_NO_MATCH = NtStatus(0xC0000272);

// Doubly linked lists with a sentinel head, as the kernel's inline helpers.
inline void InitializeListHead(LIST_ENTRY* head) { head->Flink = head->Blink = head; }

inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline bool RemoveEntryList(LIST_ENTRY* entry) {
  LIST_ENTRY* next = entry->Flink;
  LIST_ENTRY* prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}

inline LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
  LIST_ENTRY* entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}

inline LIST_ENTRY* RemoveTailList(LIST_ENTRY* head) {
  LIST_ENTRY* entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}

inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
  LIST_ENTRY* last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}

inline void InsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry) {
  LIST_ENTRY* first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

// The record that holds `field` at `address`.
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
