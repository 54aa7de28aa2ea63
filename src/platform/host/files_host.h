// The host side of the file routines: where "\SystemRoot\" lives, and faults
// a test can inject (tests run as root, so file permissions cannot make a
// directory refuse a create).
#pragma once

#include <cstdint>
#include <string>

#include "platform/ntdef.h"

namespace veltocam::host {

// The host directory that "\SystemRoot\" names; "" for none, which makes
// every file routine answer STATUS_OBJECT_PATH_NOT_FOUND. ResetPlatform
// returns it to none, so programs set it after the reset.
void SetSystemRoot(const std::string& directory);
std::string SystemRoot();

enum class FileOperation { Create, Write, Read };

// The next `count` operations of that kind fail with `status` and do nothing;
// count 0 makes every one fail until the faults are cleared.
void InjectFileFault(FileOperation operation, NTSTATUS status, std::uint32_t count = 0);
void ClearFileFaults();
// Calls since the last reset that got past their argument and access checks
// (so reached the file system or an injected fault).
std::uint64_t FileOperationCount(FileOperation operation);

// No system root, no faults, counts at zero. Open files are closed with the
// handle table.
void ResetFiles();

}  // namespace veltocam::host
