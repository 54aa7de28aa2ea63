#include "sim/camera_firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace veltocam::sim {

namespace {

constexpr UCHAR kRegister = 0x00;
constexpr UCHAR kSnapshotStatus = 0x04;
constexpr UCHAR kFirmwareVersion = 0x20;
constexpr UCHAR kFirmwareStatus = 0x21;
constexpr UCHAR kProductDescriptor = 0x23;
constexpr UCHAR kDriverInitial = 0x33;

// Sensor access: a write of 1 to the start register runs a transfer, a
// write to the data register keeps the busy register's bit 0 set a while.
constexpr USHORT kSensorStart = 0x2A06;
constexpr USHORT kSensorBusy = 0x2A07;
constexpr USHORT kSensorData = 0x2A10;

enum class Kind { Handshaked, Data, Register, Unused };

constexpr Kind KindOf(CameraCommand command) {
  switch (command) {
    case CameraCommand::TurnOnGpioPower:
    case CameraCommand::SetPcCamStart:
    case CameraCommand::SetPcCamStop:
    case CameraCommand::SetCamIdle:
    case CameraCommand::TurnOffGpioPower:
      return Kind::Handshaked;
    case CameraCommand::SetQtable:
    case CameraCommand::SetImageType:
    case CameraCommand::SetAeAwbFlag:
    case CameraCommand::SizePcCamSize:
    case CameraCommand::SetAeBandingFlag:
    case CameraCommand::SyncDataTime:
    case CameraCommand::SetAwbMode:
      return Kind::Data;
    default:
      return Kind::Register;
  }
}

ULONG Answer(std::span<UCHAR> data, std::span<const UCHAR> bytes) {
  const std::size_t n = std::min(data.size(), bytes.size());
  if (n != 0) std::memcpy(data.data(), bytes.data(), n);  // no data stage: no buffer
  return static_cast<ULONG>(n);
}

}  // namespace

const CommandSet& DefaultCommandSet() {
  static const CommandSet commands = {
      CommandCode{0x24, 0, 0, 1},       // SetQtable
      CommandCode{0x25, 1, 0, 1},       // TurnOnGpioPower
      CommandCode{0x26, 0, 0, 1},       // SetImageType
      CommandCode{0x27, 1, 0, 1},       // SetPcCamStart
      CommandCode{0x27, 0, 0, 1},       // SetPcCamStop
      CommandCode{0x28, 0, 0, 1},       // SetCamIdle
      CommandCode{0x29, 0, 3, 1},       // SetAeAwbFlag: AE and AWB on
      CommandCode{0x25, 0, 0, 1},       // TurnOffGpioPower
      CommandCode{0x2A, 0, 0, 1},       // SizePcCamSize
      CommandCode{0x2B, 0, 0, 1},       // SetAeBandingFlag
      CommandCode{0x2C, 0, 0, 1},       // SyncDataTime
      CommandCode{0x00, 0x2101, 0, 1},  // Brightness register
      CommandCode{0x00, 0x2102, 0, 1},  // Contrast register
      CommandCode{0x00, 0x2103, 0, 1},  // HueL register
      CommandCode{0x00, 0x2104, 0, 1},  // HueH register
      CommandCode{0x00, 0x2105, 0, 1},  // Saturation register
      CommandCode{0x00, 0x2106, 0, 1},  // Sharpness register
      CommandCode{0x2D, 0, 0, 1},       // SetAwbMode
  };
  return commands;
}

CameraFirmware::CameraFirmware(CameraIdentity identity, const CommandSet& commands)
    : identity_(std::move(identity)), commands_(commands) {}

host::UsbReply CameraFirmware::Handle(const host::UsbSetupPacket& setup, std::span<UCHAR> data,
                                      std::uint64_t now) {
  CommandRecord record;
  record.time = now;
  record.in = setup.DeviceToHost();
  record.request = setup.bRequest;
  record.value = setup.wValue;
  record.index = setup.wIndex;
  record.length = setup.wLength;
  host::UsbReply reply;
  if (faults.stalledRequests.count(setup.bRequest) != 0) {
    reply = host::UsbReply::Stall();
  } else if (record.in) {
    ULONG answered = 0;
    reply = HandleIn(setup, data, now, &answered);
    record.data.assign(data.begin(), data.begin() + answered);
  } else {
    record.data.assign(data.begin(), data.end());
    reply = HandleOut(setup, data, now);
  }
  record.stalled = reply.status == USBD_STATUS_STALL_PID;
  log_.push_back(std::move(record));
  return reply;
}

host::UsbReply CameraFirmware::HandleIn(const host::UsbSetupPacket& setup, std::span<UCHAR> data,
                                        std::uint64_t now, ULONG* answered) {
  auto done = [&](std::span<const UCHAR> bytes) {
    *answered = Answer(data, bytes);
    return host::UsbReply::Done(*answered);
  };
  switch (setup.bRequest) {
    case kRegister: {
      const UCHAR value = ReadRegister(setup.wIndex);
      return done({&value, 1});
    }
    case kSnapshotStatus: {
      const UCHAR status[2] = {static_cast<UCHAR>(snapshotPressed_ ? 0x02 : 0x00), 0};
      snapshotPressed_ = false;
      return done(status);
    }
    case kFirmwareVersion: {
      const auto& version = identity_.firmwareVersion;
      if (version[0] >= 2) return done(version);
      // Old firmware: one byte per request, chosen by wValue.
      if (setup.wValue >= 4) return host::UsbReply::Stall();
      return done({&version[setup.wValue], 1});
    }
    case kFirmwareStatus: {
      const bool set = setup.wIndex == 0 ? Busy(now) : EventRaised(now);
      const UCHAR status = static_cast<UCHAR>((statusOtherBits & ~0x01) | (set ? 0x01 : 0x00));
      return done({&status, 1});
    }
    case kProductDescriptor: {
      if (setup.wIndex > 1) return host::UsbReply::Stall();
      const std::vector<UCHAR> page =
          setup.wIndex == 0 ? ProductDescriptorPage0(identity_) : ProductDescriptorPage1(identity_);
      return done(page);
    }
    default:
      break;
  }
  const int command = FindCommand(setup.bRequest, setup.wIndex);
  if (command < 0 || KindOf(static_cast<CameraCommand>(command)) != Kind::Data) {
    return host::UsbReply::Stall();
  }
  std::vector<UCHAR> stored = stored_[command];
  if (faults.readBackMismatches != 0 && !stored.empty()) {
    stored[0] = static_cast<UCHAR>(~stored[0]);
    if (faults.readBackMismatches > 0) --faults.readBackMismatches;
  }
  return done(stored);
}

host::UsbReply CameraFirmware::HandleOut(const host::UsbSetupPacket& setup,
                                         std::span<const UCHAR> data, std::uint64_t now) {
  switch (setup.bRequest) {
    case kRegister:
      WriteRegister(setup.wIndex, static_cast<UCHAR>(setup.wValue & 0xFF));
      return host::UsbReply::Done();
    case kFirmwareStatus:
      if (setup.wIndex != 1) return host::UsbReply::Stall();
      if (!faults.eventNeverCleared) eventRaised_ = eventPending_ = false;
      return host::UsbReply::Done(static_cast<ULONG>(data.size()));
    case kDriverInitial:
      if (setup.wIndex > 1) return host::UsbReply::Stall();
      driverInitial_ |= static_cast<UCHAR>(1 << setup.wIndex);
      BeginCommand(now, setup.bRequest);
      return host::UsbReply::Done();
    default:
      break;
  }
  const int command = FindCommand(setup.bRequest, setup.wIndex);
  if (command < 0) return host::UsbReply::Stall();
  const auto which = static_cast<CameraCommand>(command);
  switch (KindOf(which)) {
    case Kind::Handshaked:
      RunCommand(which);
      BeginCommand(now, setup.bRequest);
      return host::UsbReply::Done();
    case Kind::Data:
      StoreData(which, data);
      return host::UsbReply::Done(static_cast<ULONG>(data.size()));
    default:
      return host::UsbReply::Stall();
  }
}

int CameraFirmware::FindCommand(UCHAR request, USHORT index) const {
  for (std::size_t i = 0; i < commands_.size(); ++i) {
    const CommandCode& code = commands_[i];
    if (code.request == 0xFF || KindOf(static_cast<CameraCommand>(i)) == Kind::Register) continue;
    if (code.request == request && code.index == index) return static_cast<int>(i);
  }
  return -1;
}

void CameraFirmware::BeginCommand(std::uint64_t now, UCHAR request) {
  if (Busy(now) && !faults.neverIdle) {
    char text[64];
    std::snprintf(text, sizeof text, "command %02X sent while busy, at %llu", request,
                  static_cast<unsigned long long>(now));
    violations_.emplace_back(text);
  }
  busyUntil_ = now + static_cast<std::uint64_t>(timing.busyPeriod);
  eventAt_ = now + static_cast<std::uint64_t>(timing.eventDelay);
  eventPending_ = true;
}

bool CameraFirmware::Busy(std::uint64_t now) const {
  return faults.neverIdle || now < busyUntil_;
}

bool CameraFirmware::EventRaised(std::uint64_t now) {
  if (eventPending_ && now >= eventAt_ && !faults.eventNeverRaised) {
    eventPending_ = false;
    eventRaised_ = true;
  }
  return eventRaised_;
}

void CameraFirmware::RunCommand(CameraCommand command) {
  switch (command) {
    case CameraCommand::TurnOnGpioPower:
      powered_ = true;
      break;
    case CameraCommand::TurnOffGpioPower:
      powered_ = false;
      break;
    case CameraCommand::SetPcCamStart:
      // Unpowered, or with no capture size yet, the camera does not stream.
      settings_.capturing = powered_ && settings_.sizeNumber != 0;
      break;
    case CameraCommand::SetPcCamStop:
    case CameraCommand::SetCamIdle:
      settings_.capturing = false;
      break;
    default:
      break;
  }
}

void CameraFirmware::StoreData(CameraCommand command, std::span<const UCHAR> data) {
  stored_[static_cast<std::size_t>(command)].assign(data.begin(), data.end());
  if (data.empty()) return;
  switch (command) {
    case CameraCommand::SetQtable:
      settings_.qtableIndex = data[0];
      break;
    case CameraCommand::SetImageType:
      settings_.imageType = data[0];
      break;
    case CameraCommand::SizePcCamSize: {
      settings_.sizeNumber = data[0];
      const SensorSizeEntry window = SensorWindowOf(identity_, data[0]);
      settings_.sensorWidth = window.width;
      settings_.sensorHeight = window.height;
      break;
    }
    default:
      break;
  }
}

void CameraFirmware::WriteRegister(USHORT address, UCHAR value) {
  registers_[address] = value;
  if (address == kSensorStart && value != 0) sensorStartReads_ = timing.sensorBusyReads;
  if (address == kSensorData) {
    registers_[kSensorBusy] |= 0x01;
    sensorBusyReads_ = timing.sensorBusyReads;
  }
}

UCHAR CameraFirmware::ReadRegister(USHORT address) {
  // The sensor transfer finishes after its polls: the start register drops
  // to 0, the busy register's bit 0 clears.
  if (address == kSensorStart && registers_[address] != 0 && sensorStartReads_-- <= 0) {
    registers_[address] = 0;
  }
  if (address == kSensorBusy && (registers_[address] & 1) != 0 && sensorBusyReads_-- <= 0) {
    registers_[address] &= static_cast<UCHAR>(~0x01);
  }
  return registers_[address];
}

std::vector<std::pair<USHORT, UCHAR>> CameraFirmware::RegisterWrites() const {
  std::vector<std::pair<USHORT, UCHAR>> writes;
  for (const CommandRecord& record : log_) {
    if (!record.in && record.request == kRegister && !record.stalled) {
      writes.emplace_back(record.index, static_cast<UCHAR>(record.value & 0xFF));
    }
  }
  return writes;
}

std::vector<UCHAR> CameraFirmware::StoredPayload(CameraCommand command) const {
  return stored_[static_cast<std::size_t>(command)];
}

}  // namespace veltocam::sim
