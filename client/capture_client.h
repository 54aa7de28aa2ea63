// A capture client: what a kernel-streaming capture application does, through
// the stream-class port alone. It finds the device, reads its stream
// information and formats, builds a data range for a chosen format and asks
// the driver for the intersection, opens the stream with the answer, changes
// states, keeps reads queued and collects completed frames with their time
// stamps, and closes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/stream_port.h"

namespace veltocam::client {

// One entry of a stream's format list, as the driver describes it.
struct FormatInfo {
  ULONG index = 0;
  GUID subFormat{};
  ULONG compression = 0;  // biCompression: a FOURCC, or 0 for RGB24
  LONG width = 0;
  LONG height = 0;
  LONGLONG frameInterval = 0;  // 100 ns units
  ULONG sampleSize = 0;
  KS_DATARANGE_VIDEO range{};  // the whole descriptor

  double FramesPerSecond() const { return frameInterval > 0 ? 1e7 / frameInterval : 0.0; }
  std::string FourccText() const;  // "I420", "IYUV", "RGB24"
};

struct StreamInfo {
  ULONG number = 0;
  std::string name;  // "capture" or "still" after the stream's name GUID
  std::vector<FormatInfo> formats;
};

struct CapturedFrame {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<std::uint8_t> data;  // DataUsed bytes of the buffer
  LONGLONG presentationTime = 0;
  LONGLONG duration = 0;
  LONGLONG pictureNumber = 0;
  LONGLONG dropCount = 0;
  ULONG optionsFlags = 0;
  // The per-request extension as the driver left it at completion (its own
  // bookkeeping and the device layer's frame context): for diagnostics.
  std::vector<std::uint8_t> requestExtension;
};

class CaptureStream;

class CaptureClient {
 public:
  explicit CaptureClient(host::StreamClassPort& port) : port_(port) {}

  // The first device the port started; STATUS_NO_SUCH_DEVICE when none.
  NTSTATUS FindDevice();
  host::PortDevice* Device() const { return device_; }

  std::vector<StreamInfo> Streams() const;

  // A data range for a listed format, as an application builds it.
  static KS_DATARANGE_VIDEO RangeFor(const FormatInfo& format) { return format.range; }
  // Asks the size first, then the format; *format receives the answer.
  NTSTATUS Intersect(ULONG stream, const KSDATARANGE& range, std::vector<std::uint8_t>* format);

  // Opens the stream with a format the driver answered.
  NTSTATUS Open(ULONG stream, const std::vector<std::uint8_t>& format,
                std::unique_ptr<CaptureStream>* result);

  // The device event (snapshot) as a client enables it.
  NTSTATUS EnableDeviceEvent(bool enable) { return port_.EnableDeviceEvent(device_, enable); }

 private:
  host::StreamClassPort& port_;
  host::PortDevice* device_ = nullptr;
};

class CaptureStream {
 public:
  CaptureStream(host::StreamClassPort& port, host::PortStream* stream, ULONG imageSize);
  ~CaptureStream();  // closes the stream if still open
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  NTSTATUS UseMasterClock(HANDLE clock);
  // SRB_PROPOSE_DATA_FORMAT and SRB_SET_DATA_FORMAT with a format.
  NTSTATUS ProposeFormat(const std::vector<std::uint8_t>& format);
  NTSTATUS SetFormat(const std::vector<std::uint8_t>& format);

  // Queues `count` reads of `bufferSize` bytes (0: the format's image size,
  // also after a format change); each read is queued again when its frame
  // has been taken.
  void QueueReads(ULONG count, ULONG bufferSize = 0);
  // The next completed read. False when none comes within `timeout` (100 ns
  // units: virtual time under the deterministic scheduler).
  bool NextFrame(CapturedFrame* frame, LONGLONG timeout);
  // From now on a read taken with NextFrame is not queued again: the reads
  // at the driver can be collected to the last.
  void StopRequeueing();
  // Cancels the read submitted first of those still at the driver; false
  // when none is.
  bool CancelOldestRead();
  std::size_t ReadsAtDriver() const;

  // Stops queueing, closes the stream and waits for the reads to come back.
  NTSTATUS Close();

 private:
  struct ReadSlot;

  void Submit(ReadSlot& slot);
  void Completed(ReadSlot* slot, HW_STREAM_REQUEST_BLOCK* srb);

  host::StreamClassPort& port_;
  host::PortStream* stream_;
  ULONG imageSize_;
  bool open_ = true;
  bool requeue_ = true;
  std::uint64_t submissions_ = 0;
  std::vector<std::unique_ptr<ReadSlot>> slots_;
  mutable std::mutex mutex_;
  std::condition_variable completed_;
  std::deque<ReadSlot*> done_;
};

}  // namespace veltocam::client
