// The driver's data path on the host: the driver loaded by the host's
// stream-class port and a device started for the camera on the host USB bus
// (driver entry, device initialisation, stream information, initialisation
// complete), one video stream opened at a format and run, read requests kept
// queued, and the pictures they come back with.
//
// The stream side (open, state changes, reads, close) is still wired by hand
// here the way the class layer's stream handling will do it; every step below
// the stream open is the driver's own code. This is the one place that wiring
// lives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "classlayer/channel.h"
#include "classlayer/device.h"
#include "control/devicecontext.h"
#include "platform/host/stream_port.h"
#include "platform/streamclass.h"

namespace veltocam::app {

constexpr ULONG kFourccI420 = 0x30323449;
constexpr ULONG kFourccIyuv = 0x56555949;
constexpr ULONG kRgb24 = 0;

struct StreamFormat {
  ULONG width = 640;
  ULONG height = 480;
  ULONG compression = kFourccI420;  // I420, IYUV or RGB24 (0)

  ULONG ImageSize() const {
    return compression == kRgb24 ? width * height * 3 : width * height * 3 / 2;
  }
};

struct DeliveredFrame {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<std::uint8_t> data;  // DataUsed bytes of the client buffer
  LONGLONG presentationTime = 0;
  LONGLONG duration = 0;
  LONGLONG pictureNumber = 0;
  LONGLONG dropCount = 0;
  ULONG optionsFlags = 0;
  bool damaged = false;  // the frame arrived damaged: the repeat picture was delivered
};

class DataPath {
 public:
  explicit DataPath(DEVICE_OBJECT* busDeviceObject);
  ~DataPath();
  DataPath(const DataPath&) = delete;
  DataPath& operator=(const DataPath&) = delete;

  // Loads the driver and starts the device through the port: the filter
  // installs the callback table, the class layer configures USB, the camera
  // is identified.
  NTSTATUS InitializeDevice();
  // Opens the video stream (bandwidth, capture start, transfer sets, watchdog),
  // moves it through pause to run and queues `readRequests` reads.
  NTSTATUS OpenVideoStream(const StreamFormat& format, ULONG readRequests = 4,
                           LONGLONG frameInterval = 333333);
  // The next completed read, which is queued again. False when none comes
  // within `timeout` (100 ns units of scheduler time: virtual in tests).
  bool NextFrame(DeliveredFrame* frame, LONGLONG timeout);
  // Stop, then close: transfers aborted, capture stopped, bandwidth released,
  // reads cancelled.
  void CloseVideoStream();
  NTSTATUS UninitializeDevice();

  ClassDevice* Device() { return device_; }
  // The port and the device it started, for requests a client makes.
  host::StreamClassPort& Port() { return port_; }
  host::PortDevice* PortDevice() { return portDevice_; }
  DeviceContext* Context();
  Channel* Video() { return channel_; }

 private:
  struct ReadSlot;

  void Completed(HW_STREAM_REQUEST_BLOCK* srb);
  void Submit(ReadSlot& slot);
  NTSTATUS StartStreaming();
  void StopStreaming();

  DEVICE_OBJECT* bus_;
  host::StreamClassPort port_;
  host::PortDevice* portDevice_ = nullptr;
  ClassDevice* device_ = nullptr;
  Channel* channel_ = nullptr;
  HW_STREAM_OBJECT stream_{};
  KS_DATAFORMAT_VIDEOINFOHEADER format_{};
  StreamFormat streamFormat_;
  HANDLE clock_ = nullptr;
  bool initialized_ = false;
  bool open_ = false;
  std::vector<std::unique_ptr<ReadSlot>> slots_;

  std::mutex mutex_;
  std::condition_variable completed_;
  std::deque<HW_STREAM_REQUEST_BLOCK*> done_;
};

}  // namespace veltocam::app
