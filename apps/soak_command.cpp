// soak: episode after episode of the whole driver under seeded schedules and
// fault storms, until the time is up or a rule breaks.
#include <chrono>
#include <cstdio>
#include <string>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/soak_episode.h"
#include "platform/host/contract_violations.h"
#include "platform/host/platform.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam soak [--seconds S] [--seed N] [--episode E]\n"
    "  runs the driver with the simulated camera under randomized schedules and\n"
    "  a seeded storm of faults (packet loss, error bursts, firmware stalls, a\n"
    "  disabled port, unplug, power cycles, cancel storms, format changes,\n"
    "  allocation failures) for S seconds (default 60); --episode runs only\n"
    "  that episode of the seed, to reproduce a failure\n"
    "  exit status: 0 every rule held, 1 bad arguments, 4 a rule broke";

constexpr int kExitBroken = 4;
constexpr double kProgressEvery = 10.0;  // seconds between progress lines

struct SoakOptions {
  long seconds = 60;
  std::uint64_t seed = 1;
  long episode = -1;  // -1: all, from 0
};

// Where a contract violation (which aborts a checked build) happened.
std::uint64_t g_seed = 0;
std::uint64_t g_episode = 0;

void ReportViolation(const char*) {
  std::fprintf(stderr,
               "veltocam soak: contract violation in episode %llu of seed %llu; rerun "
               "with: veltocam soak --seed %llu --episode %llu\n",
               static_cast<unsigned long long>(g_episode), static_cast<unsigned long long>(g_seed),
               static_cast<unsigned long long>(g_seed), static_cast<unsigned long long>(g_episode));
}

SoakOptions ParseOptions(int argc, char** argv) {
  CommandLine line(argc, argv, 2);
  SoakOptions o;
  o.seconds = ParseInteger(line.Take("seconds").value_or("60"), "--seconds", 1, 7 * 24 * 3600);
  o.seed = static_cast<std::uint64_t>(
      ParseInteger(line.Take("seed").value_or("1"), "--seed", 1, 0x7FFFFFFF));
  if (auto e = line.Take("episode")) o.episode = ParseInteger(*e, "--episode", 0, 0x7FFFFFFF);
  if (!line.Rest().empty()) throw UsageError("unexpected argument \"" + line.Rest()[0] + "\"");
  return o;
}

void PrintTally(const char* prefix, const SoakTally& t, double seconds, bool faultsByKind) {
  std::uint64_t faults = 0;
  for (std::uint64_t n : t.faults) faults += n;
  std::fprintf(stderr,
               "%s%.0f s: %llu episodes, %llu faults, %llu requests (%llu lost), %llu frames "
               "delivered, %llu violations\n",
               prefix, seconds, static_cast<unsigned long long>(t.episodes),
               static_cast<unsigned long long>(faults), static_cast<unsigned long long>(t.requests),
               static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.frames),
               static_cast<unsigned long long>(t.violations));
  if (!faultsByKind) return;
  for (std::size_t k = 0; k < kSoakFaultKinds; ++k) {
    std::fprintf(stderr, "  %-20s %llu\n", SoakFaultName(static_cast<SoakFault>(k)),
                 static_cast<unsigned long long>(t.faults[k]));
  }
}

int Soak(const SoakOptions& o) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
  double nextProgress = kProgressEvery;
  SoakTally tally;
  g_seed = o.seed;
  for (std::uint64_t e = o.episode < 0 ? 0 : static_cast<std::uint64_t>(o.episode);; ++e) {
    g_episode = e;
    const std::string broken = RunSoakEpisode(SoakEpisodeSeed(o.seed, e), &tally);
    if (!broken.empty()) {
      std::fprintf(stderr,
                   "veltocam soak: %s in episode %llu of seed %llu; rerun with: veltocam soak "
                   "--seed %llu --episode %llu\n",
                   broken.c_str(), static_cast<unsigned long long>(e),
                   static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.seed),
                   static_cast<unsigned long long>(e));
      PrintTally("soak: broken after ", tally, elapsed(), true);
      return kExitBroken;
    }
    if (o.episode >= 0 || elapsed() >= static_cast<double>(o.seconds)) break;
    if (elapsed() >= nextProgress) {
      PrintTally("soak: ", tally, elapsed(), false);
      nextProgress += kProgressEvery;
    }
  }
  std::fprintf(stderr, "soak: seed %llu, every rule held\n",
               static_cast<unsigned long long>(o.seed));
  PrintTally("soak: ", tally, elapsed(), true);
  return 0;
}

}  // namespace

int SoakCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kUsage);
  SoakOptions o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "veltocam: %s\n%s\n", e.what(), kUsage);
    return 1;
  }
  host::SetContractViolationHook(ReportViolation);
  const int status = Soak(o);
  host::SetContractViolationHook(nullptr);
  host::ShutdownKernel();
  return status;
}

}  // namespace veltocam::app
