// The tool's system directory: what "\SystemRoot\" names for the driver (its
// snapshot file), the driver's debugger log, and the registry kept between
// runs as registry.reg. On a real machine the registry persists by itself;
// here each run loads it from that file (the camera model's installer
// settings the first time) and writes it back when it ends, so a picture
// setting made in one run is there in the next.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "platform/ntdef.h"

namespace veltocam::app {

// $XDG_STATE_HOME/veltocam, else ~/.local/state/veltocam, else
// ./veltocam-system: every command uses it unless told --system DIR.
std::filesystem::path DefaultSystemDirectory();
// Takes --system DIR from the command line, else the default.
std::filesystem::path TakeSystemDirectory(CommandLine& line);

class SystemStore {
 public:
  SystemStore() = default;
  ~SystemStore();
  SystemStore(const SystemStore&) = delete;
  SystemStore& operator=(const SystemStore&) = delete;

  // Makes the directory, takes it for this run, names it "\SystemRoot\"
  // and loads the registry: registry.reg when present, else the camera
  // model's settings. Call after the platform was reset. "" or what went
  // wrong: a saved registry that does not read back is reported, never
  // replaced; a directory another run holds is refused.
  std::string Open(const std::filesystem::path& directory);

  // A REG_DWORD for this run only: Save puts back what the store held.
  void SetForThisRun(const std::string& keyPath, const std::string& name, ULONG value);

  // Writes the registry to registry.reg through a temporary file that is
  // renamed over it once complete, so an interrupted run leaves the last
  // good file. "" or what went wrong.
  std::string Save();

  // The driver's debugger output goes to debugger.log in the directory, from
  // now until the store is destroyed.
  void LogDebuggerOutput();

  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path RegistryFile() const { return directory_ / "registry.reg"; }

 private:
  struct Kept {
    std::string keyPath;
    std::string name;
    std::optional<ULONG> value;  // absent before the run
  };
  // Each run writes back the whole registry it loaded, so a second run at
  // the same time would undo what the first one set: one run per directory,
  // held by a lock on this file until the store is destroyed.
  std::string Hold();

  std::filesystem::path directory_;
  int held_ = -1;
  std::vector<Kept> kept_;
  std::FILE* log_ = nullptr;
};

}  // namespace veltocam::app
