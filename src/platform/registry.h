// Registry access: the query-table reader, the single-value writer, key
// handles with the full value query, and the device's driver key.
#pragma once

#include "platform/ntdef.h"

struct DEVICE_OBJECT;

constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = NtStatus(0xC000003B);
constexpr NTSTATUS STATUS_KEY_DELETED = NtStatus(0xC000017C);

using ACCESS_MASK = ULONG;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_WRITE = 0x20006;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;

// Names of registry keys and files passed to the Zw routines.
struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};

constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* name,
                                       ULONG flags, HANDLE root, PVOID security) {
  attributes->Length = sizeof(OBJECT_ATTRIBUTES);
  attributes->RootDirectory = root;
  attributes->ObjectName = name;
  attributes->Attributes = flags;
  attributes->SecurityDescriptor = security;
  attributes->SecurityQualityOfService = nullptr;
}

// Value types.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;

// RelativeTo for the Rtl registry routines. Only absolute paths
// ("\Registry\MACHINE\...") and key handles (the handle passed as the path)
// are served. With RTL_REGISTRY_OPTIONAL an absent key is not an error: the
// query does nothing and succeeds.
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

// Query-table entry flags.
constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG RTL_QUERY_REGISTRY_DELETE = 0x00000040;
// With DIRECT: the value must have the type held in the top byte of
// DefaultType (STATUS_OBJECT_TYPE_MISMATCH otherwise), so that data of an
// unexpected type never lands in a buffer meant for another.
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK = 0x00000100;
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK_SHIFT = 24;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(const WCHAR* valueName, ULONG valueType,
                                                 PVOID valueData, ULONG valueLength, PVOID context,
                                                 PVOID entryContext);

struct RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  const WCHAR* Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
};

// Walks the table (ended by an entry with neither QueryRoutine nor Name) for
// the key at `path`. With RTL_QUERY_REGISTRY_DIRECT the value goes straight
// into EntryContext: a REG_DWORD into a ULONG, a string into a UNICODE_STRING
// (allocated from the pool when its Buffer is null), other data into a buffer
// whose first LONG holds its size negated (or, positive, its size with room
// for length and type ahead of the data); a REG_MULTI_SZ only whole, with
// NOEXPAND. An absent value leaves EntryContext untouched unless the entry is
// REQUIRED (STATUS_OBJECT_NAME_NOT_FOUND) or has a default. An absent key is
// STATUS_OBJECT_NAME_NOT_FOUND.
// Query routines get REG_EXPAND_SZ expanded from `environment` (a block of
// "NAME=VALUE" strings; unknown names stay as written) and a REG_MULTI_SZ one
// string at a time, unless NOEXPAND. A name-less entry with a routine sees
// every value of the key; SUBKEY moves later entries to the named subkey of
// the starting key (its routine, if any, sees every value there), TOPKEY back;
// DELETE removes a value once delivered. A routine's failure ends the query
// with its status.
NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, const WCHAR* path,
                                RTL_QUERY_REGISTRY_TABLE* queryTable, PVOID context,
                                PVOID environment);

// Writes one value under an existing key (STATUS_OBJECT_NAME_NOT_FOUND when
// the key is absent: the routine does not create keys). A null valueName is
// the key's default value.
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, const WCHAR* path, const WCHAR* valueName,
                               ULONG valueType, const void* valueData, ULONG valueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, const WCHAR* path, const WCHAR* valueName);

// Creates the last key of the path; the key above it must exist.
NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, const WCHAR* path);
// STATUS_SUCCESS when the key exists.
NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, const WCHAR* path);

// Key handles, closed with ZwClose. ObjectName is absolute, or relative to
// RootDirectory when that is an open key. Access masks are recorded but not
// enforced: kernel-mode callers are not access-checked.
NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK desiredAccess,
                   OBJECT_ATTRIBUTES* objectAttributes);

constexpr ULONG REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr ULONG REG_OPTION_VOLATILE = 0x00000001;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

// Creates the last key of the name (the key above it must exist) or opens it;
// *disposition, when given, tells which.
NTSTATUS ZwCreateKey(HANDLE* keyHandle, ACCESS_MASK desiredAccess,
                     OBJECT_ATTRIBUTES* objectAttributes, ULONG titleIndex,
                     UNICODE_STRING* keyClass, ULONG createOptions, ULONG* disposition);

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of this record
  ULONG DataLength;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};

// Fills `information` with the value record; STATUS_BUFFER_TOO_SMALL (nothing
// written) or STATUS_BUFFER_OVERFLOW (fixed part written) when `length` is
// short, with *resultLength the size needed.
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, const UNICODE_STRING* valueName,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, ULONG* resultLength);
NTSTATUS ZwSetValueKey(HANDLE keyHandle, const UNICODE_STRING* valueName, ULONG titleIndex,
                       ULONG type, const void* data, ULONG dataSize);

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;

// Opens the device's hardware (DEVICE) or software (DRIVER) key, creating it
// when needed. The handle is closed with ZwClose. The host keeps the key
// paths per device object (see platform/host/device_keys.h).
NTSTATUS IoOpenDeviceRegistryKey(DEVICE_OBJECT* deviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK desiredAccess, HANDLE* devInstRegKey);
