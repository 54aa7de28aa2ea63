// Files on the system volume. "\SystemRoot\" names the system directory.
#pragma once

#include "platform/ntdef.h"
#include "platform/registry.h"

constexpr NTSTATUS STATUS_DISK_FULL = NtStatus(0xC000007F);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = NtStatus(0xC00000BA);

constexpr ACCESS_MASK FILE_READ_DATA = 0x00000001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x00000002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x00000004;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
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

// Create options. Only synchronous handles keep a current position.
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IoStatusBlock->Information after a create.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;
constexpr ULONG_PTR FILE_EXISTS = 4;          // with STATUS_OBJECT_NAME_COLLISION
constexpr ULONG_PTR FILE_DOES_NOT_EXIST = 5;  // with STATUS_OBJECT_NAME_NOT_FOUND

// ByteOffset values with a meaning of their own (HighPart -1).
constexpr LONGLONG FILE_WRITE_TO_END_OF_FILE = -1;       // LowPart 0xFFFFFFFF
constexpr LONGLONG FILE_USE_FILE_POINTER_POSITION = -2;  // LowPart 0xFFFFFFFE

using PIO_APC_ROUTINE = void (*)(PVOID apcContext, IO_STATUS_BLOCK* ioStatusBlock, ULONG reserved);

// Opens or creates a file under "\SystemRoot\" (other roots are
// STATUS_OBJECT_PATH_NOT_FOUND). With OBJ_CASE_INSENSITIVE an existing file
// is found whatever the case of its name. Writing needs GENERIC_WRITE (or
// FILE_WRITE_DATA / FILE_APPEND_DATA), reading GENERIC_READ (or
// FILE_READ_DATA). ioStatusBlock->Information tells what the disposition did.
NTSTATUS ZwCreateFile(HANDLE* fileHandle, ACCESS_MASK desiredAccess,
                      OBJECT_ATTRIBUTES* objectAttributes, IO_STATUS_BLOCK* ioStatusBlock,
                      LARGE_INTEGER* allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);

// byteOffset null: at the current position (synchronous handles only; other
// handles need an offset). The position then follows the transfer.
NTSTATUS ZwWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     IO_STATUS_BLOCK* ioStatusBlock, const void* buffer, ULONG length,
                     LARGE_INTEGER* byteOffset, ULONG* key);

// STATUS_END_OF_FILE when the offset is at or past the end; a read that
// reaches the end returns the bytes there were.
NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    IO_STATUS_BLOCK* ioStatusBlock, void* buffer, ULONG length,
                    LARGE_INTEGER* byteOffset, ULONG* key);
