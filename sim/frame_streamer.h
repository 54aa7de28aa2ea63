// The simulated camera's picture stream: renders the scene at the sensor
// window the firmware was told, encodes it in the camera's compressed format
// (or sends raw macroblocks for image type 4), and cuts it into isochronous
// packets in the camera's framing:
//
//   frame start:  FF FF, 14 header bytes, then picture data
//   other packets: a sequence byte 0, 1, ... (wrapping before 0xFF), data
//   between frames: zero-length packets
//
// One packet per USB frame, each as large as the alternate setting allows, so
// the frame rate is what the bandwidth gives, at most the sensor's 30 frames
// per second. Faults can be injected with a seed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "sim/packet_source.h"
#include "sim/scene.h"

namespace veltocam::sim {

struct StreamFaults {
  std::uint32_t seed = 1;
  double loss = 0;     // a packet's data never arrives (error status, no bytes)
  double error = 0;    // a packet arrives with an error status
  double empty = 0;    // an extra zero-length packet inside a frame
  double reorder = 0;  // a packet changes places with the one after it
  double marker = 0;   // an idle no-data marker packet inside a frame
  // Every packet of these USB frames fails (e.g. a whole transfer).
  std::uint32_t failFirstFrame = 0;
  std::uint32_t failFrameCount = 0;
};

struct SentFrame {
  std::uint32_t number;  // counts from 0 for every frame started
  int width, height;     // the sensor window
  std::uint8_t imageType;
  std::uint8_t qtableIndex;
  const std::vector<std::uint8_t>* payload;  // the picture data after the header
};

class FrameStreamer final : public PacketSource {
 public:
  static constexpr std::uint8_t kRawImageType = 4;
  static constexpr int kHeaderBytes = 15;  // after the first sync byte
  static constexpr std::uint32_t kSensorFramesPerSecond = 30;

  explicit FrameStreamer(std::unique_ptr<Scene> scene, StreamFaults faults = {});

  host::UsbIsoPacket NextPacket(const StreamSettings& settings, ULONG frame,
                                std::span<UCHAR> packet) override;

  // The next frame whole, header and picture data, as a camera that streams
  // over a bulk pipe sends it (its transfers carry no packet framing).
  const std::vector<std::uint8_t>& NextFrame(const StreamSettings& settings);

  // Called when a frame's first packet goes out.
  void OnFrameSent(std::function<void(const SentFrame&)> callback) {
    onFrameSent_ = std::move(callback);
  }

  std::uint32_t FramesStarted() const { return framesStarted_; }
  std::uint64_t PacketsSent() const { return packetsSent_; }

 private:
  struct Packet {
    host::UsbIsoPacket result;
    std::vector<UCHAR> bytes;
  };

  Packet MakePacket(const StreamSettings& settings, ULONG frame, std::size_t maxPacket);
  Packet ComposePacket(const StreamSettings& settings, ULONG frame, std::size_t maxPacket);
  void StartFrame(const StreamSettings& settings, ULONG frame);
  void ComposeFrame(const StreamSettings& settings);
  const std::vector<std::uint8_t>& Payload(const StreamSettings& settings);
  bool Chance(double probability);

  std::unique_ptr<Scene> scene_;
  StreamFaults faults_;
  std::mt19937 random_;
  std::function<void(const SentFrame&)> onFrameSent_;

  std::vector<std::uint8_t> stream_;  // the frame being sent: header and payload
  std::size_t position_ = 0;
  bool inFrame_ = false;
  std::uint8_t sequence_ = 0;
  std::uint64_t nextStartTime_ = 0;  // in USB frames x 1000, so 30 fps stays exact
  bool haveLastFrame_ = false;
  ULONG lastFrame_ = 0;
  std::vector<Packet> held_;  // packets delayed by reordering

  std::uint32_t framesStarted_ = 0;
  std::uint64_t packetsSent_ = 0;
  bool stillScene_ = true;
  std::map<std::uint64_t, std::vector<std::uint8_t>> stillPayloads_;
  std::vector<std::uint8_t> movingPayload_;
};

}  // namespace veltocam::sim
