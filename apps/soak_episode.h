// One episode of the fault soak: the whole driver on a fresh host platform
// under a seeded schedule, the simulated camera streaming through the port
// and the capture client, and a seeded storm of faults. After each fault
// the stream must deliver pictures again; at the end every request must
// have come back exactly once and nothing may be left behind.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace veltocam::app {

enum class SoakFault {
  PacketLoss,         // lost, failed, empty, reordered and marker packets for a while
  ErrorBurst,         // whole transfers fail: the watchdog's recovery restarts them
  FirmwareStall,      // the firmware stops sending: a read time-out starts the recovery
  PortDisabled,       // the hub disables the port: the recovery resets it
  Unplug,             // the camera goes and comes back
  PowerCycle,         // the machine sleeps and wakes
  CancelStorm,        // the client cancels the reads it has at the driver
  FormatChange,       // the stream is closed and opened at another size
  AllocationFailure,  // one pool allocation somewhere fails
};
constexpr std::size_t kSoakFaultKinds = 9;
const char* SoakFaultName(SoakFault fault);

struct SoakTally {
  std::uint64_t episodes = 0;
  std::array<std::uint64_t, kSoakFaultKinds> faults{};
  std::uint64_t requests = 0;  // request blocks the port issued and the driver completed
  std::uint64_t lost = 0;      // issued and never completed
  std::uint64_t frames = 0;    // reads delivered with a picture, after each fault happened
  std::uint64_t violations =
      0;  // contract violations (only a build that does not abort counts them)
};

// The seed of episode `episode` of a soak seeded with `seed` (never 0).
std::uint64_t SoakEpisodeSeed(std::uint64_t seed, std::uint64_t episode);

// Runs one episode; empty when every rule held, else the first that broke.
std::string RunSoakEpisode(std::uint64_t episodeSeed, SoakTally* tally);

}  // namespace veltocam::app
