// The simulated camera's firmware: how it answers the vendor requests on the
// default pipe. A 64 K register space, the fixed requests (registers,
// snapshot button, firmware version, idle and event status, event clear,
// product descriptor, driver-initial commands) and the camera model's
// configurable command set. Handshaked commands keep the firmware busy for a
// while and raise its event; data commands are stored and read back. What it
// was told feeds the StreamSettings of the picture stream.
//
// Pure logic: the caller passes the time (100 ns units) with each request.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/host/usb_device_model.h"
#include "sim/camera_descriptors.h"
#include "sim/packet_source.h"

namespace veltocam::sim {

// The configurable commands, in the order of the camera model's command set.
enum class CameraCommand {
  SetQtable,
  TurnOnGpioPower,
  SetImageType,
  SetPcCamStart,
  SetPcCamStop,
  SetCamIdle,
  SetAeAwbFlag,
  TurnOffGpioPower,
  SizePcCamSize,
  SetAeBandingFlag,
  SyncDataTime,
  Brightness,
  Contrast,
  HueL,
  HueH,
  Saturation,
  Sharpness,
  SetAwbMode,
};
constexpr std::size_t kCameraCommandCount = 18;

struct CommandCode {
  UCHAR request = 0xFF;
  USHORT index = 0;
  USHORT value = 0;
  USHORT length = 0;
};
using CommandSet = std::array<CommandCode, kCameraCommandCount>;

// The shipped camera's command set; the camera model's .reg file says the same.
const CommandSet& DefaultCommandSet();

// How long the firmware takes over a handshaked command (100 ns units).
struct FirmwareTiming {
  std::int64_t eventDelay = 20'000;   // 2 ms until the event is raised
  std::int64_t busyPeriod = 250'000;  // 25 ms busy after the command
  int sensorBusyReads = 2;            // sensor-access polls that still read busy
};

// Ways the firmware misbehaves.
struct FirmwareFaults {
  bool neverIdle = false;          // idle status always busy
  bool eventNeverRaised = false;   // commands never raise the event
  bool eventNeverCleared = false;  // the event-clear request is ignored
  // Read-backs of data commands still to answer a wrong first byte (counted
  // down as they go); a negative count: every one.
  int readBackMismatches = 0;
  std::set<UCHAR> stalledRequests;  // vendor requests answered with a STALL
};

// One vendor request as the firmware saw it.
struct CommandRecord {
  std::uint64_t time = 0;
  bool in = false;
  UCHAR request = 0;
  USHORT value = 0;
  USHORT index = 0;
  USHORT length = 0;        // wLength
  std::vector<UCHAR> data;  // OUT: the bytes sent; IN: the answer
  bool stalled = false;
};

class CameraFirmware {
 public:
  explicit CameraFirmware(CameraIdentity identity = {},
                          const CommandSet& commands = DefaultCommandSet());

  // A vendor request; `data` has wLength bytes (the answer goes there for IN).
  host::UsbReply Handle(const host::UsbSetupPacket& setup, std::span<UCHAR> data,
                        std::uint64_t now);

  const CameraIdentity& identity() const { return identity_; }
  void SetFirmwareVersion(const std::array<UCHAR, 5>& version) {
    identity_.firmwareVersion = version;
  }
  FirmwareTiming timing;
  FirmwareFaults faults;

  UCHAR Register(USHORT address) const { return registers_[address]; }
  void SetRegister(USHORT address, UCHAR value) { registers_[address] = value; }
  // The register writes received, in order (address, value).
  std::vector<std::pair<USHORT, UCHAR>> RegisterWrites() const;

  const std::vector<CommandRecord>& log() const { return log_; }
  void ClearLog() { log_.clear(); }

  const StreamSettings& settings() const { return settings_; }
  bool powered() const { return powered_; }
  // Driver-initial commands received: bit 0 global, bit 1 CDSP.
  UCHAR driverInitial() const { return driverInitial_; }
  // The payload last stored by a data command (empty when none came).
  std::vector<UCHAR> StoredPayload(CameraCommand command) const;

  // Breaches of the firmware protocol by the host, one text each (a command
  // sent while the firmware was still busy with the last one).
  const std::vector<std::string>& ProtocolViolations() const { return violations_; }
  // Bits the firmware status byte carries besides bit 0, the only one that
  // means busy or event.
  UCHAR statusOtherBits = 0xA4;

  // The snapshot button was pressed; the next status read reports it once.
  void PressSnapshotButton() { snapshotPressed_ = true; }
  // Raises the firmware event as a finished command would.
  void RaiseEvent() { eventRaised_ = true; }

 private:
  host::UsbReply HandleIn(const host::UsbSetupPacket& setup, std::span<UCHAR> data,
                          std::uint64_t now, ULONG* answered);
  host::UsbReply HandleOut(const host::UsbSetupPacket& setup, std::span<const UCHAR> data,
                           std::uint64_t now);
  // The configured command a request names, or -1.
  int FindCommand(UCHAR request, USHORT index) const;
  void BeginCommand(std::uint64_t now, UCHAR request);
  bool Busy(std::uint64_t now) const;
  bool EventRaised(std::uint64_t now);
  void RunCommand(CameraCommand command);
  void StoreData(CameraCommand command, std::span<const UCHAR> data);
  void WriteRegister(USHORT address, UCHAR value);
  UCHAR ReadRegister(USHORT address);

  CameraIdentity identity_;
  CommandSet commands_;
  std::array<UCHAR, 65536> registers_{};
  std::array<std::vector<UCHAR>, kCameraCommandCount> stored_;
  std::vector<CommandRecord> log_;
  std::vector<std::string> violations_;
  StreamSettings settings_;
  bool powered_ = false;
  UCHAR driverInitial_ = 0;
  bool snapshotPressed_ = false;
  bool eventRaised_ = false;
  bool eventPending_ = false;
  std::uint64_t eventAt_ = 0;
  std::uint64_t busyUntil_ = 0;
  // Sensor-access registers that read busy for a few more polls.
  int sensorStartReads_ = 0;
  int sensorBusyReads_ = 0;
};

}  // namespace veltocam::sim
