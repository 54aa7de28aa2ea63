// The command protocol against the simulated firmware: the four-stage
// handshake with its poll limits and back-off, the verified data command with
// its retries, and what never reaches the wire.
#include "control/vendorcommands.h"

#include <gtest/gtest.h>

#include "platform/host/scheduler.h"
#include "platform/host/trace.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

constexpr UCHAR kStart = 0x27;  // the shipped camera's start command
constexpr USHORT kStartIndex = 1;
constexpr USHORT kStartValue = 1;
constexpr UCHAR kQtable = 0x24;
constexpr const char* kName = "(KorvaneCam) PC Camera Start";

class VendorCommandsTest : public testing::Test {
 protected:
  void SetUp() override { DebugMessage = 1; }

  ULONG Start() { return VCwrite(rig_.context(), kStart, kStartIndex, kStartValue, 1, 50, kName); }
  std::string Line(const char* stage, int count) {
    return std::string(kName) + " -> " + stage + " [VCwrite(27:01:01), Timeout(" +
           std::to_string(count) + ")]";
  }
  // Vendor requests as "request/index" in wire order, IN reads marked "<".
  std::vector<std::string> Wire() {
    std::vector<std::string> wire;
    for (const sim::CommandRecord& r : rig_.camera.Commands()) {
      char text[32];
      std::snprintf(text, sizeof text, "%s%02x/%u", r.in ? "<" : ">", r.request, r.index);
      wire.emplace_back(text);
    }
    return wire;
  }
  std::size_t CountOf(UCHAR request, bool in) {
    std::size_t n = 0;
    for (const sim::CommandRecord& r : rig_.camera.Commands())
      n += r.request == request && r.in == in;
    return n;
  }

  CameraRig rig_;
  host::TraceCapture trace_;
};

TEST_F(VendorCommandsTest, APromptFirmwareTakesFourStatusReadsOneCommandAndOneClear) {
  rig_.MakeFirmwarePrompt();
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.timing.busyPeriod = 0; });
  EXPECT_EQ(Start(), 1u);
  EXPECT_EQ(Wire(),
            (std::vector<std::string>{"<21/0", ">27/1", "<21/1", ">21/1", "<21/1", "<21/0"}));
  EXPECT_TRUE(
      trace_.Contains(std::string(kName) + " -> OK. [VCwrite(27:01:01), Timeout(00,00,00,00)]"));
  // Unpowered and with no capture size, the camera takes the start but does
  // not stream.
  EXPECT_FALSE(rig_.camera.Settings().capturing);
  // The clear carries one zero byte.
  EXPECT_EQ(RequestsOf(rig_.camera.Commands(), 0x21)[2].data, std::vector<UCHAR>{0});
}

TEST_F(VendorCommandsTest, ARealisticFirmwareIsWaitedForAndLeftIdle) {
  const std::uint64_t before = host::Now();
  EXPECT_EQ(Start(), 1u);
  // Event raised 2 ms and idle 25 ms after the command: two event polls and
  // two backed-off idle polls (10 + 20 ms).
  EXPECT_TRUE(
      trace_.Contains(std::string(kName) + " -> OK. [VCwrite(27:01:01), Timeout(00,02,00,02)]"));
  EXPECT_EQ(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(10 + 20 + 30)));
}

TEST_F(VendorCommandsTest, AnEventAlreadyRaisedSkipsTheWaitForIt) {
  rig_.MakeFirmwarePrompt();
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) {
    f.RaiseEvent();
    f.faults.eventNeverRaised = true;  // only the event raised beforehand can satisfy it
  });
  EXPECT_EQ(Start(), 1u);
  EXPECT_EQ(CountOf(0x21, true), 4u);
}

TEST_F(VendorCommandsTest, AStageSucceedsOnlyWithinOnePollLessThanTheLimit) {
  rig_.MakeFirmwarePrompt();
  // A driver-initial command leaves the firmware busy for P; the first idle
  // read comes 10 ms later and the k-th poll at 10k ms.
  for (int busyMs : {490, 500}) {
    rig_.camera.WithFirmware(
        [&](sim::CameraFirmware& f) { f.timing.busyPeriod = host::Milliseconds(busyMs); });
    ASSERT_TRUE(VendorCommandNoData(rig_.context(), kRequestDriverInitial, 0, 0));
    rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.timing.busyPeriod = 0; });
    rig_.camera.ClearCommands();
    trace_.Clear();
    const ULONG result = Start();
    if (busyMs == 490) {
      EXPECT_EQ(result, 1u);
      EXPECT_TRUE(trace_.Contains(std::string(kName) +
                                  " -> OK. [VCwrite(27:01:01), Timeout(49,00,00,00)]"));
    } else {
      EXPECT_EQ(result, 0u);
      EXPECT_TRUE(trace_.Contains(Line("Check F/W idle FALSE(1).", 50)));
      EXPECT_EQ(CountOf(kStart, false), 0u);
    }
  }
}

TEST_F(VendorCommandsTest, AFirmwareThatNeverGoesIdleFailsWithoutSendingTheCommand) {
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.neverIdle = true; });
  const std::uint64_t before = host::Now();
  EXPECT_EQ(Start(), 0u);
  EXPECT_TRUE(trace_.Contains(Line("Check F/W idle FALSE(1).", 51)));
  EXPECT_EQ(CountOf(kStart, false), 0u);
  EXPECT_EQ(CountOf(0x21, true), 53u);  // the first read and 52 rounds
  EXPECT_EQ(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(10 + 51 * 10)));
}

TEST_F(VendorCommandsTest, EachLaterStageFailsWithItsOwnMessageAndSkipsTheRest) {
  struct Case {
    void (*fault)(sim::CameraFirmware&);
    const char* stage;
    std::size_t clears;
  };
  const Case cases[] = {
      {[](sim::CameraFirmware& f) { f.faults.eventNeverRaised = true; },
       "Check F/W Event Busy FALSE.", 0},
      {[](sim::CameraFirmware& f) { f.faults.eventNeverCleared = true; },
       "Check F/W Event Clear FALSE.", 1},
      {[](sim::CameraFirmware& f) { f.timing.busyPeriod = host::Seconds(60); },
       "Check F/W idle FALSE (2).", 1},
  };
  for (const Case& c : cases) {
    CameraRig rig;
    DebugMessage = 1;
    rig.MakeFirmwarePrompt();
    rig.camera.WithFirmware(c.fault);
    trace_.Clear();
    EXPECT_EQ(VCwrite(rig.context(), kStart, kStartIndex, kStartValue, 1, 50, kName), 0u) << c.stage;
    EXPECT_TRUE(trace_.Contains(Line(c.stage, 51))) << c.stage;
    std::size_t clears = 0;
    for (const sim::CommandRecord& r : rig.camera.Commands()) clears += r.request == 0x21 && !r.in;
    EXPECT_EQ(clears, c.clears) << c.stage;
  }
}

TEST_F(VendorCommandsTest, TheLastStageBacksOffTenMillisecondsMoreEachRound) {
  rig_.MakeFirmwarePrompt();
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.timing.busyPeriod = host::Seconds(60); });
  const std::uint64_t before = host::Now();
  EXPECT_EQ(Start(), 0u);
  // 10 ms before the first stage, then 10 + 20 + ... + 510 ms.
  EXPECT_EQ(host::Now() - before,
            static_cast<std::uint64_t>(host::Milliseconds(10 + 10 * 51 * 52 / 2)));
}

TEST_F(VendorCommandsTest, TracesAreWrittenOnlyWithDebugMessage) {
  DebugMessage = 0;
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.neverIdle = true; });
  EXPECT_EQ(Start(), 0u);
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0, 1, 3, 50, "(KorvaneCam) Set Q Table"), 1u);
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(VendorCommandsTest, AnUnconfiguredCommandNeverReachesTheWire) {
  EXPECT_EQ(VCwrite(rig_.context(), kCommandNotConfigured, 0, 0, 1, 50, kName), 0u);
  EXPECT_EQ(BurstWrite(rig_.context(), kCommandNotConfigured, 0, 0, 1, 3, 50, kName), 0u);
  rig_.context()->VendorCommand[SetPcCamStart] = {kCommandNotConfigured, 1, 0, 1};
  rig_.context()->VendorCommand[SetQtable] = {kCommandNotConfigured, 0, 0, 1};
  EXPECT_EQ(SendCommand(rig_.context(), SetPcCamStart, kName), 0u);
  EXPECT_EQ(SendDataCommand(rig_.context(), SetQtable, 3, kName), 0u);
  EXPECT_TRUE(rig_.camera.Commands().empty());
  EXPECT_EQ(rig_.bus.Requests().size(), 0u);
}

TEST_F(VendorCommandsTest, BurstWriteVerifiesHighPayloadBytesByReadingThemBack) {
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0x1234, 1, 0x80, 50, "Q"), 1u);
  EXPECT_TRUE(trace_.Contains("Q -> OK. [BurstWrite(24:00:80), Timeout(0)]"));
  EXPECT_EQ(Wire(), (std::vector<std::string>{">24/0", "<24/0"}));
  const auto writes = RequestsOf(rig_.camera.Commands(), kQtable);
  EXPECT_EQ(writes[0].value, 0);  // wValue is always 0
  EXPECT_EQ(writes[0].data, std::vector<UCHAR>{0x80});
  EXPECT_EQ(rig_.camera.Settings().qtableIndex, 0x80);
}

TEST_F(VendorCommandsTest, BurstWriteRetriesUntilTheReadBackMatches) {
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.readBackMismatches = 2; });
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0, 1, 5, 50, "Q"), 1u);
  EXPECT_TRUE(trace_.Contains("Q -> OK. [BurstWrite(24:00:05), Timeout(2)]"));
  EXPECT_EQ(CountOf(kQtable, false), 3u);
}

TEST_F(VendorCommandsTest, BurstWriteGivesUpAfterTheRetryLimit) {
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.readBackMismatches = -1; });
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0, 1, 5, 50, "Q"), 0u);
  EXPECT_TRUE(trace_.Contains("Q -> FALSE. [BurstWrite(24:00:05), Timeout(51)]"));
  EXPECT_EQ(CountOf(kQtable, false), 53u);
  EXPECT_EQ(CountOf(kQtable, true), 53u);
}

TEST_F(VendorCommandsTest, AConfiguredLengthBeyondTheReadBackBufferIsCutToIt) {
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0, 0xFFFF, 7, 50, "Q"), 1u);
  const auto requests = RequestsOf(rig_.camera.Commands(), kQtable);
  ASSERT_EQ(requests.size(), 2u);
  std::vector<UCHAR> expected(64, 0);
  expected[0] = 7;
  EXPECT_EQ(requests[0].data, expected);
  EXPECT_EQ(requests[1].length, 64);
}

TEST_F(VendorCommandsTest, RegistersAreWrittenAndReadWithoutHandshake) {
  EXPECT_TRUE(RegisterWrite(rig_.context(), 0x21B0, 0x12));
  UCHAR value = 0;
  EXPECT_TRUE(RegisterRead(rig_.context(), 0x21B0, &value));
  EXPECT_EQ(value, 0x12);
  EXPECT_EQ(Wire(), (std::vector<std::string>{">00/8624", "<00/8624"}));
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.stalledRequests = {0}; });
  EXPECT_FALSE(RegisterWrite(rig_.context(), 0x21B0, 0x13));
  EXPECT_EQ(rig_.camera.Register(0x21B0), 0x12);
}

// An unplugged camera answers nothing: a command and a verified write give
// up at their first failed read instead of polling it to the limit.
TEST_F(VendorCommandsTest, AnUnpluggedCameraIsNotPolledToTheLimit) {
  rig_.MakeFirmwarePrompt();
  rig_.bus.Detach();
  rig_.bus.ClearRequestLog();
  const std::uint64_t before = host::Now();
  EXPECT_EQ(Start(), 0u);
  // The status byte reads as idle before the first read fails: the command
  // goes out, and the wait for its event gives up.
  EXPECT_TRUE(trace_.Contains(Line("Check F/W Event Busy FALSE.", 51)));
  EXPECT_EQ(BurstWrite(rig_.context(), kQtable, 0, 0, 1, 0x85, 50, "(KorvaneCam) Set Q Table"), 0u);
  EXPECT_EQ(rig_.bus.RequestCount(URB_FUNCTION_VENDOR_DEVICE), 5u);
  EXPECT_LT(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(50)));
}

TEST(DelayMs, SpinsOnTheSystemTimeForTheWholeDelay) {
  const std::uint64_t before = host::Now();
  DelayMs(0);
  EXPECT_EQ(host::Now(), before);
  DelayMs(25);
  EXPECT_EQ(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(25)));
}

}  // namespace
}  // namespace veltocam::test
