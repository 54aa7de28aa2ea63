// Files on the system volume. "\SystemRoot\" names the system directory.
#pragma once

#include "platform/ntdef.h"
#include "platform/registry.h"

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

constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;

constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;

// Create dispositions.
constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

// Create options.
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IoStatusBlock->Information after a create.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;

using PIO_APC_ROUTINE = void (*)(PVOID apcContext, IO_STATUS_BLOCK* ioStatusBlock, ULONG reserved);

NTSTATUS ZwCreateFile(HANDLE* fileHandle, ACCESS_MASK desiredAccess,
                      OBJECT_ATTRIBUTES* objectAttributes, IO_STATUS_BLOCK* ioStatusBlock,
                      LARGE_INTEGER* allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                      ULONG eaLength);

// byteOffset null: at the current position, which then advances.
NTSTATUS ZwWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                     PVOID apcContext, IO_STATUS_BLOCK* ioStatusBlock, const void* buffer,
                     ULONG length, LARGE_INTEGER* byteOffset, ULONG* key);

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                    PVOID apcContext, IO_STATUS_BLOCK* ioStatusBlock, void* buffer,
                    ULONG length, LARGE_INTEGER* byteOffset, ULONG* key);
