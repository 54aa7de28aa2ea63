#include "apps/system_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/host/files_host.h"
#include "platform/host/regfile.h"
#include "platform/host/registry_store.h"
#include "platform/host/trace.h"
#include "sim/camera_model.h"

namespace veltocam::app {
namespace {

namespace fs = std::filesystem;

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// The whole text, then the data forced to the disk, before the name is taken.
std::string WriteDurably(const fs::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Errno(path.string());
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::string error = Errno(path.string());
      ::close(fd);
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  std::string syncError = synced ? "" : Errno(path.string());
  if (::close(fd) != 0 && synced) return Errno(path.string());
  return syncError;
}

}  // namespace

fs::path DefaultSystemDirectory() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return fs::path(state) / "veltocam";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return fs::path(home) / ".local" / "state" / "veltocam";
  }
  return fs::absolute("veltocam-system");
}

fs::path TakeSystemDirectory(CommandLine& line) {
  if (auto directory = line.Take("system")) {
    if (directory->empty()) throw UsageError("--system needs a directory");
    return fs::absolute(*directory);
  }
  return DefaultSystemDirectory();
}

SystemStore::~SystemStore() {
  if (held_ >= 0) ::close(held_);
  if (log_ == nullptr) return;
  host::SetTraceSink({});
  std::fclose(log_);
}

void SystemStore::LogDebuggerOutput() {
  if (log_ != nullptr) return;
  log_ = std::fopen((directory_ / "debugger.log").c_str(), "w");
  if (log_ == nullptr) return;
  host::SetTraceSink(
      [log = log_](std::string_view text) { std::fwrite(text.data(), 1, text.size(), log); });
}

std::string SystemStore::Open(const fs::path& directory) {
  directory_ = directory;
  std::error_code error;
  fs::create_directories(directory_, error);
  if (error) return directory_.string() + ": " + error.message();
  if (std::string busy = Hold(); !busy.empty()) return busy;
  host::SetSystemRoot(directory_.string());
  if (fs::exists(RegistryFile())) {
    const host::RegFileResult loaded = host::ImportRegFile(RegistryFile().string());
    if (!loaded) return loaded.message + " (repair or delete the file to start afresh)";
    return "";
  }
  if (!sim::LoadCameraModelSettings()) return "the camera model's settings are malformed";
  return "";
}

std::string SystemStore::Hold() {
  held_ = ::open((directory_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (held_ < 0) return Errno((directory_ / "lock").string());
  if (::flock(held_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
    return "";  // a file system without locks: runs are trusted not to overlap
  }
  return directory_.string() +
         " is in use by another veltocam run; wait for it to end or choose another --system DIR";
}

void SystemStore::SetForThisRun(const std::string& keyPath, const std::string& name, ULONG value) {
  kept_.push_back({keyPath, name, host::GetRegistryDword(keyPath, name)});
  host::SetRegistryDword(keyPath, name, value);
}

std::string SystemStore::Save() {
  // Latest first, so a value set twice gets its first original back.
  for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
    if (it->value) {
      host::SetRegistryDword(it->keyPath, it->name, *it->value);
    } else {
      host::DeleteRegistryValue(it->keyPath, it->name);
    }
  }
  kept_.clear();
  const host::RegFileResult text = host::ExportRegText("\\Registry");
  if (!text) return text.message;
  const fs::path temporary = directory_ / "registry.reg.tmp";
  if (std::string error = WriteDurably(temporary, text.text); !error.empty()) {
    ::unlink(temporary.c_str());
    return "the registry was not saved: " + error;
  }
  if (::rename(temporary.c_str(), RegistryFile().c_str()) != 0) {
    const std::string error = Errno(RegistryFile().string());
    ::unlink(temporary.c_str());
    return "the registry was not saved: " + error;
  }
  // The new name itself survives a crash once the directory is on the disk.
  if (const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return "";
}

}  // namespace veltocam::app
