// ZwCreateFile, ZwWriteFile and ZwReadFile on host files below the directory
// that stands for "\SystemRoot\". I/O completes before the call returns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/files.h"
#include "platform/host/case_folding.h"
#include "platform/host/contract_violations.h"
#include "platform/host/files_host.h"
#include "platform/host/handles.h"
#include "platform/host/printf_engine.h"

namespace veltocam::host {
namespace {

namespace fs = std::filesystem;

struct Fault {
  NTSTATUS status = STATUS_SUCCESS;
  std::uint32_t remaining = 0;  // 0 with a status set: until cleared
};

struct FileState {
  std::mutex mutex;
  std::string systemRoot;
  Fault faults[3];
  std::uint64_t counts[3] = {};
};

FileState& Files() {
  static FileState state;
  return state;
}

// Counts the call; the injected status when it is to fail.
NTSTATUS TakeFault(FileOperation operation) {
  FileState& files = Files();
  std::lock_guard lock(files.mutex);
  const auto index = static_cast<std::size_t>(operation);
  ++files.counts[index];
  Fault& fault = files.faults[index];
  if (fault.status == STATUS_SUCCESS) return STATUS_SUCCESS;
  const NTSTATUS status = fault.status;
  if (fault.remaining != 0 && --fault.remaining == 0) fault.status = STATUS_SUCCESS;
  return status;
}

class FileHandle : public HandleObject {
 public:
  FileHandle(int fd, bool canRead, bool canWrite, bool appendOnly, bool synchronous)
      : fd(fd),
        canRead(canRead),
        canWrite(canWrite),
        appendOnly(appendOnly),
        synchronous(synchronous) {}
  ~FileHandle() override { ::close(fd); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  const int fd;
  const bool canRead, canWrite, appendOnly, synchronous;
  std::mutex mutex;            // guards position
  std::uint64_t position = 0;  // synchronous handles only
};

NTSTATUS FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST:
      return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM:
    case EROFS:
      return STATUS_ACCESS_DENIED;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
      return STATUS_DISK_FULL;
    case ENAMETOOLONG:
      return STATUS_OBJECT_NAME_INVALID;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// A component the platform's file systems accept, which also keeps a name
// from leaving the system root on the host ("..", "/").
bool ValidComponent(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(), [](char16_t c) {
    return c < 0x20 || std::u16string_view(u"<>:\"/|?*").find(c) != std::u16string_view::npos;
  });
}

// The name of the entry in `dir` that `name` means: the same name, or with
// `ignoreCase` the first (in sorted order) that differs only in case.
std::optional<std::string> FindEntry(const fs::path& dir, std::u16string_view name,
                                     bool ignoreCase) {
  const std::string exact = ToUtf8(std::u16string(name));
  std::error_code error;
  if (fs::exists(dir / exact, error)) return exact;
  if (!ignoreCase) return std::nullopt;
  std::vector<std::string> matches;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    const std::string candidate = entry.path().filename().string();
    if (EqualsIgnoringCase(FromUtf8(candidate), name)) matches.push_back(candidate);
  }
  if (matches.empty()) return std::nullopt;
  return *std::min_element(matches.begin(), matches.end());
}

struct Target {
  fs::path path;
  bool exists = false;
};

NTSTATUS Resolve(const OBJECT_ATTRIBUTES* attributes, Target* target) {
  const UNICODE_STRING* name = attributes->ObjectName;
  if (attributes->RootDirectory != nullptr || name == nullptr || name->Buffer == nullptr ||
      name->Length % 2 != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string_view path(name->Buffer, name->Length / 2);
  if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  constexpr std::u16string_view kRoot = u"\\SystemRoot\\";
  if (path.size() < kRoot.size() || !EqualsIgnoringCase(path.substr(0, kRoot.size()), kRoot)) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  const std::string root = SystemRoot();
  if (root.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  path.remove_prefix(kRoot.size());

  std::vector<std::u16string_view> components;
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find(u'\\', start);
    components.push_back(path.substr(start, end == path.npos ? path.npos : end - start));
    if (end == path.npos) break;
    start = end + 1;
  }
  if (!std::all_of(components.begin(), components.end(), ValidComponent)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  const bool ignoreCase = (attributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
  fs::path dir = root;
  std::error_code error;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    std::optional<std::string> entry = FindEntry(dir, components[i], ignoreCase);
    if (!entry || !fs::is_directory(dir / *entry, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
    dir /= *entry;
  }
  if (!fs::is_directory(dir, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::optional<std::string> entry = FindEntry(dir, components.back(), ignoreCase);
  target->exists = entry.has_value();
  target->path = dir / (entry ? *entry : ToUtf8(std::u16string(components.back())));
  if (target->exists && fs::is_directory(target->path, error)) return STATUS_FILE_IS_A_DIRECTORY;
  return STATUS_SUCCESS;
}

// The file behind a handle, or the status for a handle that is not one.
NTSTATUS FileOf(HANDLE handle, FileHandle** file) {
  HandleObject* object = LookupHandle(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  *file = dynamic_cast<FileHandle*>(object);
  return *file == nullptr ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_SUCCESS;
}

// Where a transfer starts: the given offset, the current position, or the end.
NTSTATUS StartOffset(FileHandle& file, const LARGE_INTEGER* byteOffset, bool toEndAllowed,
                     std::uint64_t* offset) {
  const LONGLONG requested =
      byteOffset == nullptr ? FILE_USE_FILE_POINTER_POSITION : byteOffset->QuadPart;
  if (requested == FILE_USE_FILE_POINTER_POSITION) {
    if (!file.synchronous) return STATUS_INVALID_PARAMETER;
    *offset = file.position;
  } else if (requested == FILE_WRITE_TO_END_OF_FILE && toEndAllowed) {
    struct stat info;
    if (::fstat(file.fd, &info) != 0) return FromErrno(errno);
    *offset = static_cast<std::uint64_t>(info.st_size);
  } else if (requested < 0) {
    return STATUS_INVALID_PARAMETER;
  } else {
    *offset = static_cast<std::uint64_t>(requested);
  }
  return STATUS_SUCCESS;
}

void Complete(IO_STATUS_BLOCK* ioStatusBlock, NTSTATUS status, ULONG_PTR information) {
  ioStatusBlock->Status = status;
  ioStatusBlock->Information = information;
}

// ZwReadFile and ZwWriteFile: `buffer` is only read from for a write.
NTSTATUS Transfer(FileOperation operation, HANDLE fileHandle, IO_STATUS_BLOCK* ioStatusBlock,
                  void* buffer, ULONG length, const LARGE_INTEGER* byteOffset) {
  const bool write = operation == FileOperation::Write;
  if (!RequirePassiveLevel(write ? "ZwWriteFile" : "ZwReadFile")) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  FileHandle* file;
  if (NTSTATUS status = FileOf(fileHandle, &file); !NT_SUCCESS(status)) return status;
  if (ioStatusBlock == nullptr || (buffer == nullptr && length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!(write ? file->canWrite : file->canRead)) return STATUS_ACCESS_DENIED;
  std::lock_guard lock(file->mutex);
  // A handle that may only append writes at the end, whatever it is told.
  LARGE_INTEGER end;
  end.QuadPart = FILE_WRITE_TO_END_OF_FILE;
  std::uint64_t offset = 0;
  if (NTSTATUS status =
          StartOffset(*file, write && file->appendOnly ? &end : byteOffset, write, &offset);
      !NT_SUCCESS(status)) {
    return status;
  }
  if (NTSTATUS fault = TakeFault(operation); !NT_SUCCESS(fault)) {
    Complete(ioStatusBlock, fault, 0);
    return fault;
  }
  auto* bytes = static_cast<char*>(buffer);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG done = 0;
  while (done < length) {
    const auto at = static_cast<off_t>(offset + done);
    const ssize_t n = write ? ::pwrite(file->fd, bytes + done, length - done, at)
                            : ::pread(file->fd, bytes + done, length - done, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) status = FromErrno(errno);
      if (n == 0 && write) status = STATUS_DISK_FULL;
      break;
    }
    done += static_cast<ULONG>(n);
  }
  if (NT_SUCCESS(status) && !write && done == 0 && length != 0) {
    status = STATUS_END_OF_FILE;
  } else if (file->synchronous) {
    file->position = offset + done;
  }
  Complete(ioStatusBlock, status, done);
  return status;
}

}  // namespace

void SetSystemRoot(const std::string& directory) {
  std::lock_guard lock(Files().mutex);
  Files().systemRoot = directory;
}

std::string SystemRoot() {
  std::lock_guard lock(Files().mutex);
  return Files().systemRoot;
}

void InjectFileFault(FileOperation operation, NTSTATUS status, std::uint32_t count) {
  std::lock_guard lock(Files().mutex);
  Files().faults[static_cast<std::size_t>(operation)] = {status, count};
}

void ClearFileFaults() {
  std::lock_guard lock(Files().mutex);
  for (Fault& fault : Files().faults) fault = {};
}

std::uint64_t FileOperationCount(FileOperation operation) {
  std::lock_guard lock(Files().mutex);
  return Files().counts[static_cast<std::size_t>(operation)];
}

void ResetFiles() {
  std::lock_guard lock(Files().mutex);
  FileState& files = Files();
  files.systemRoot.clear();
  for (Fault& fault : files.faults) fault = {};
  for (std::uint64_t& count : files.counts) count = 0;
}

}  // namespace veltocam::host

using veltocam::host::FileOperation;

NTSTATUS ZwCreateFile(HANDLE* fileHandle, ACCESS_MASK desiredAccess,
                      OBJECT_ATTRIBUTES* objectAttributes, IO_STATUS_BLOCK* ioStatusBlock,
                      LARGE_INTEGER* /*allocationSize*/, ULONG /*fileAttributes*/,
                      ULONG /*shareAccess*/, ULONG createDisposition, ULONG createOptions,
                      PVOID eaBuffer, ULONG /*eaLength*/) {
  namespace host = veltocam::host;
  if (!host::RequirePassiveLevel("ZwCreateFile")) return STATUS_INVALID_DEVICE_STATE;
  if (fileHandle == nullptr || objectAttributes == nullptr || ioStatusBlock == nullptr ||
      createDisposition > FILE_OVERWRITE_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  *fileHandle = nullptr;
  if (eaBuffer != nullptr || (createOptions & FILE_DIRECTORY_FILE)) return STATUS_NOT_SUPPORTED;
  if (NTSTATUS fault = host::TakeFault(FileOperation::Create); !NT_SUCCESS(fault)) {
    host::Complete(ioStatusBlock, fault, 0);
    return fault;
  }
  host::Target target;
  if (NTSTATUS status = host::Resolve(objectAttributes, &target); !NT_SUCCESS(status)) {
    host::Complete(ioStatusBlock, status, 0);
    return status;
  }

  const bool writeAll = (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
  const bool canWrite = writeAll || (desiredAccess & FILE_APPEND_DATA) != 0;
  const bool canRead = (desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  const bool truncate = target.exists && (createDisposition == FILE_SUPERSEDE ||
                                          createDisposition == FILE_OVERWRITE ||
                                          createDisposition == FILE_OVERWRITE_IF);
  int flags = O_CLOEXEC | (canWrite || truncate ? O_RDWR : O_RDONLY);
  ULONG_PTR information;
  if (target.exists) {
    if (createDisposition == FILE_CREATE) {
      host::Complete(ioStatusBlock, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
      return STATUS_OBJECT_NAME_COLLISION;
    }
    if (truncate) flags |= O_TRUNC;
    information = createDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                  : truncate                          ? FILE_OVERWRITTEN
                                                      : FILE_OPENED;
  } else {
    if (createDisposition == FILE_OPEN || createDisposition == FILE_OVERWRITE) {
      host::Complete(ioStatusBlock, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    flags |= O_CREAT | O_EXCL;
    information = FILE_CREATED;
  }
  const int fd = ::open(target.path.c_str(), flags, 0644);
  if (fd < 0) {
    const NTSTATUS status = host::FromErrno(errno);
    host::Complete(ioStatusBlock, status, 0);
    return status;
  }
  const bool synchronous =
      (createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  *fileHandle = host::InsertHandle(std::make_unique<host::FileHandle>(
      fd, canRead, canWrite, canWrite && !writeAll, synchronous));
  host::Complete(ioStatusBlock, STATUS_SUCCESS, information);
  return STATUS_SUCCESS;
}

NTSTATUS ZwWriteFile(HANDLE fileHandle, HANDLE /*event*/, PIO_APC_ROUTINE /*apcRoutine*/,
                     PVOID /*apcContext*/, IO_STATUS_BLOCK* ioStatusBlock, const void* buffer,
                     ULONG length, LARGE_INTEGER* byteOffset, ULONG* /*key*/) {
  return veltocam::host::Transfer(FileOperation::Write, fileHandle, ioStatusBlock,
                                  const_cast<void*>(buffer), length, byteOffset);
}

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE /*event*/, PIO_APC_ROUTINE /*apcRoutine*/,
                    PVOID /*apcContext*/, IO_STATUS_BLOCK* ioStatusBlock, void* buffer,
                    ULONG length, LARGE_INTEGER* byteOffset, ULONG* /*key*/) {
  return veltocam::host::Transfer(FileOperation::Read, fileHandle, ioStatusBlock, buffer, length,
                                  byteOffset);
}
