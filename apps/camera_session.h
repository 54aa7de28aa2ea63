// A capture session as an application has it: the driver loaded by the host
// stream-class port, a device started for the camera on the host USB bus, and
// one stream opened through the capture client at a format the driver
// lists, run with a master clock, reads kept queued. Every step goes through
// the driver's entry, the port, the request filter and the class layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlayer/channel.h"
#include "classlayer/device.h"
#include "client/capture_client.h"
#include "control/devicecontext.h"
#include "platform/host/stream_port.h"

namespace veltocam::app {

constexpr ULONG kFourccI420 = 0x30323449;
constexpr ULONG kFourccIyuv = 0x56555949;
constexpr ULONG kRgb24 = 0;
constexpr ULONG kCaptureStream = 0;
constexpr ULONG kStillStream = 1;

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

class CameraSession {
 public:
  // The bus device object carries the camera; it outlives the session.
  explicit CameraSession(DEVICE_OBJECT* busDeviceObject);
  ~CameraSession();
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  // Loads the driver and starts the device through the port.
  NTSTATUS Start();
  // What a stream offers, one "I420 640x480 30 fps" line per format.
  std::vector<std::string> Offered(ULONG stream) const;
  // Opens the stream at the listed format with this size and compression,
  // moves it through pause to run and queues `reads` reads. A format the
  // stream does not list is refused (STATUS_NO_MATCH) with *why saying what
  // it offers.
  NTSTATUS Open(ULONG stream, const StreamFormat& format, ULONG reads, std::string* why);
  // The next completed read, queued again. False when none comes within
  // `timeout` (100 ns units of scheduler time: virtual under the
  // deterministic scheduler).
  bool NextFrame(DeliveredFrame* frame, LONGLONG timeout);
  // Cancels the oldest read still at the driver, as an application that
  // gives a buffer up; false when none is there.
  bool CancelOldestRead();
  // Reads taken by NextFrame are no longer queued again.
  void StopQueueingReads();
  // The machine sleeps and wakes: device power D3, then D0.
  NTSTATUS Suspend();
  // The snapshot device event, as a client enables it; then the events
  // signalled so far, and a wait for one more than `seen`.
  NTSTATUS EnableSnapshotEvent();
  std::size_t SnapshotEvents() const;
  bool WaitForSnapshotEvent(std::size_t seen, LONGLONG timeout);
  // Reads still at the driver.
  std::size_t ReadsAtDriver() const;
  // Stop, then close; the reads come back.
  NTSTATUS Close();
  // The camera goes: surprise removal, close, uninitialisation.
  void Remove();

  // The open stream's frame interval (100 ns units).
  LONGLONG FrameInterval() const { return frameInterval_; }
  ClassDevice* Device() const { return device_; }
  DeviceContext* Context() const;
  Channel* StreamChannel(ULONG stream) const;
  host::StreamClassPort& Port() { return port_; }
  host::PortDevice* PortDevice() const { return portDevice_; }

 private:
  DEVICE_OBJECT* bus_;
  host::StreamClassPort port_;
  client::CaptureClient client_{port_};
  host::PortDevice* portDevice_ = nullptr;
  ClassDevice* device_ = nullptr;
  std::unique_ptr<client::CaptureStream> stream_;
  HANDLE clock_ = nullptr;
  LONGLONG frameInterval_ = 0;
};

}  // namespace veltocam::app
