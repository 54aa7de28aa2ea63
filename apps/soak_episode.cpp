#include "apps/soak_episode.h"

#include <functional>
#include <memory>
#include <random>

#include "apps/camera_session.h"
#include "platform/host/contract_violations.h"
#include "platform/host/platform.h"
#include "platform/host/pool.h"
#include "platform/host/stream_port.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "sim/scene.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {
namespace {

// Pictures that show the stream is back, and how long (virtual time) it may
// take: a stalled firmware is noticed by the 9 s read time-out, and the
// recovery may wait 8 s for the transfers to come back.
constexpr int kFramesToResume = 3;
constexpr LONGLONG kResumeLimit = host::Seconds(40);
constexpr int kMaxFaultsPerEpisode = 4;
// Pictures read at most while waiting for an injected fault to happen.
constexpr int kFramesForAFault = 200;

constexpr StreamFormat kSizes[] = {
    {640, 480, kFourccI420}, {352, 288, kFourccI420}, {320, 240, kFourccI420},
    {176, 144, kFourccI420}, {160, 120, kFourccI420},
};

class Episode {
 public:
  Episode(std::uint64_t seed, SoakTally* tally)
      : random_(seed), streamer_(sim::MakeMovingScene(), QuietFaults(seed)), tally_(tally) {
    camera_.SetPacketSource(&streamer_);
  }
  ~Episode() { Teardown(); }
  Episode(const Episode&) = delete;
  Episode& operator=(const Episode&) = delete;

  std::string Run();

 private:
  static sim::StreamFaults QuietFaults(std::uint64_t seed) {
    sim::StreamFaults faults;
    faults.seed = static_cast<std::uint32_t>(seed >> 32) | 1;
    return faults;
  }
  std::uint64_t Below(std::uint64_t bound) { return random_() % bound; }

  std::string Plug();
  std::string OpenStream();
  std::string Resumed(const char* after, const std::function<bool()>& happened = {});
  std::string Inject(SoakFault fault);
  std::string Unplug();
  std::string FormatChange();
  std::string Faulted(SoakFault fault);
  void Teardown();
  std::string Check();

  std::mt19937_64 random_;
  sim::FrameStreamer streamer_;
  sim::SimulatedCamera camera_;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<CameraSession> session_;
  SoakTally* tally_;
  std::uint64_t issued_ = 0;
  std::uint64_t completed_ = 0;
};

std::string Episode::Run() {
  std::string broken = Plug();
  const std::uint64_t faults = 1 + Below(kMaxFaultsPerEpisode);
  for (std::uint64_t i = 0; broken.empty() && i < faults; ++i) {
    const auto fault = static_cast<SoakFault>(Below(kSoakFaultKinds));
    ++tally_->faults[static_cast<std::size_t>(fault)];
    broken = Inject(fault);
    if (broken.empty()) broken = Resumed(SoakFaultName(fault));
  }
  Teardown();
  if (broken.empty()) broken = Check();
  return broken;
}

std::string Episode::Plug() {
  bus_ = std::make_unique<host::UsbBus>();
  bus_->Attach(camera_);
  session_ = std::make_unique<CameraSession>(bus_->DeviceObject());
  const NTSTATUS status = session_->Start();
  if (!NT_SUCCESS(status)) return "the camera did not start";
  std::string broken = OpenStream();
  return broken.empty() ? Resumed("start") : broken;
}

std::string Episode::OpenStream() {
  const StreamFormat& format = kSizes[Below(std::size(kSizes))];
  std::string why;
  const NTSTATUS status = session_->Open(kCaptureStream, format, 2 + Below(4), &why);
  if (NT_SUCCESS(status)) return {};
  session_->Close();
  return "the stream did not open at " + std::to_string(format.width) + "x" +
         std::to_string(format.height) + " (" + why + ")";
}

// Pictures that were on their way when the fault came prove nothing: only
// those delivered once the fault has happened count (`happened` null: at
// once). A fault that never happens within many pictures was not injected.
std::string Episode::Resumed(const char* after, const std::function<bool()>& happened) {
  bool counting = !happened;
  int good = 0;
  for (int frames = 0; good < kFramesToResume; ++frames) {
    DeliveredFrame frame;
    if (!session_->NextFrame(&frame, kResumeLimit)) {
      return std::string("streaming did not resume after ") + after;
    }
    counting = counting || happened();
    if (!counting && frames >= kFramesForAFault) {
      return std::string("no ") + after + " came in " + std::to_string(frames) + " pictures";
    }
    if (counting && NT_SUCCESS(frame.status) && !frame.data.empty()) {
      ++good;
      ++tally_->frames;
    }
  }
  return {};
}

std::string Episode::Inject(SoakFault fault) {
  switch (fault) {
    case SoakFault::Unplug:
      return Unplug();
    case SoakFault::FormatChange:
      return FormatChange();
    case SoakFault::PowerCycle:
      return NT_SUCCESS(session_->Suspend()) ? std::string() : "the camera did not wake";
    case SoakFault::CancelStorm:
      for (std::uint64_t n = 1 + Below(8); n > 0 && session_->CancelOldestRead(); --n) {
      }
      return {};
    default:
      return Faulted(fault);
  }
}

// Faults that the driver rides out on its own while pictures are read.
// Faults that the driver rides out on its own while pictures are read; each
// counts once it has happened: the burst is over, the stalled firmware was
// told to capture again, the port was enabled again, an allocation failed.
std::string Episode::Faulted(SoakFault fault) {
  sim::StreamFaults faults = QuietFaults(random_());
  std::function<bool()> happened;
  switch (fault) {
    case SoakFault::PacketLoss:
      faults.loss = 0.002 * static_cast<double>(1 + Below(10));
      faults.error = 0.001 * static_cast<double>(Below(10));
      faults.empty = faults.reorder = faults.marker = 0.001 * static_cast<double>(Below(5));
      break;
    case SoakFault::ErrorBurst: {
      faults.failFirstFrame = bus_->CurrentFrame() + 2 + static_cast<ULONG>(Below(40));
      faults.failFrameCount = 32 * static_cast<std::uint32_t>(1 + Below(4));
      const ULONG over = faults.failFirstFrame + faults.failFrameCount;
      happened = [this, over] { return bus_->CurrentFrame() >= over; };
      break;
    }
    case SoakFault::FirmwareStall:
      camera_.WithFirmware([](sim::CameraFirmware& f) { f.StallStream(); });
      happened = [this] {
        bool capturing = false;
        camera_.WithFirmware([&](sim::CameraFirmware& f) { capturing = f.settings().capturing; });
        return capturing;
      };
      break;
    case SoakFault::PortDisabled:
      bus_->DisablePort();
      happened = [this] { return (bus_->PortStatus() & USBD_PORT_ENABLED) != 0; };
      break;
    default: {  // AllocationFailure
      const std::uint64_t failed = host::FailedAllocationCount();
      host::FailNthAllocation(1 + Below(12));
      happened = [failed] { return host::FailedAllocationCount() > failed; };
      break;
    }
  }
  streamer_.SetFaults(faults);
  std::string broken = Resumed(SoakFaultName(fault), happened);
  streamer_.SetFaults(QuietFaults(random_()));
  host::FailNthAllocation(0);
  return broken;
}

std::string Episode::Unplug() {
  bus_->Detach();
  DeliveredFrame frame;
  while (session_->ReadsAtDriver() > 0 && session_->NextFrame(&frame, host::Seconds(10))) {
  }
  if (session_->ReadsAtDriver() != 0) return "reads stayed at the driver after the unplug";
  Teardown();
  return Plug();
}

// Closes and opens again at a random size; one time in three a pool
// allocation fails during the open, which must fail cleanly and leave the
// stream openable.
std::string Episode::FormatChange() {
  session_->Close();
  if (Below(3) == 0) {
    host::FailNthAllocation(1 + Below(10));
    if (OpenStream().empty()) {
      host::FailNthAllocation(0);
      return {};
    }
    host::FailNthAllocation(0);
  }
  return OpenStream();
}

void Episode::Teardown() {
  host::FailNthAllocation(0);
  if (session_) {
    session_->Remove();
    issued_ += session_->Port().RequestsIssued();
    completed_ += session_->Port().RequestsCompleted();
    session_.reset();
  }
  bus_.reset();
  host::RunUntilIdle();
}

std::string Episode::Check() {
  tally_->requests += completed_;
  tally_->violations += host::ContractViolationCount();
  if (issued_ != completed_) {
    tally_->lost += issued_ - completed_;
    return std::to_string(issued_ - completed_) + " requests never completed";
  }
  std::string broken = host::DescribeLeftovers();
  if (!broken.empty()) return "left behind: " + broken;
  camera_.WithFirmware([&](sim::CameraFirmware& f) {
    if (!f.ProtocolViolations().empty()) {
      broken = "camera protocol violation: " + f.ProtocolViolations().front();
    }
  });
  return broken;
}

}  // namespace

const char* SoakFaultName(SoakFault fault) {
  static constexpr const char* kNames[kSoakFaultKinds] = {
      "packet loss", "error burst",  "firmware stall", "port disabled",     "unplug",
      "power cycle", "cancel storm", "format change",  "allocation failure"};
  return kNames[static_cast<std::size_t>(fault)];
}

std::uint64_t SoakEpisodeSeed(std::uint64_t seed, std::uint64_t episode) {
  // splitmix64: neighbouring episodes get unrelated schedules.
  std::uint64_t z = seed * 0x9E3779B97F4A7C15ULL + episode + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return (z ^ (z >> 31)) | 1;
}

std::string RunSoakEpisode(std::uint64_t episodeSeed, SoakTally* tally) {
  host::SetScheduleSeed(episodeSeed);
  host::ResetPlatform(host::SchedulerMode::Deterministic);
  host::SetTraceSink([](std::string_view) {});
  std::string broken = "the camera model's settings are malformed";
  if (sim::LoadCameraModelSettings()) {
    ++tally->episodes;
    broken = Episode(episodeSeed, tally).Run();
  }
  host::SetScheduleSeed(0);
  return broken;
}

}  // namespace veltocam::app
