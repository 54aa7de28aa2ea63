#include "sim/frame_streamer.h"

#include <algorithm>
#include <cstring>

namespace veltocam::sim {
namespace {

constexpr UCHAR kSyncByte = 0xFF;
constexpr UCHAR kNoDataMarker = 0xFF;
constexpr UCHAR kSequenceModulus = 0xFF;
constexpr std::uint64_t kSensorInterval = 1000 * 1000 / FrameStreamer::kSensorFramesPerSecond;
constexpr ULONG kLongestGap = 2000;  // USB frames; after a longer pause a frame is restarted
constexpr USBD_STATUS kLostPacket = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;

// The camera's raw format: 384-byte macroblocks in raster order, each four
// 8x8 luma blocks then the 8x8 U and V blocks, samples signed.
std::vector<std::uint8_t> RawMacroblocks(const PlanarImage& image) {
  const int w = image.width, h = image.height;
  const std::size_t total = (static_cast<std::size_t>(w) * h * 3 / 2 + 383) / 384 * 384;
  std::vector<std::uint8_t> out;
  out.reserve(total);
  auto sample = [&](int component, int x, int y) {
    const int pw = image.plane_width(component), ph = image.plane_height(component);
    y = std::min(y, ph - 1);
    x = std::min(x, pw - 1);
    return static_cast<std::uint8_t>(image.plane(component)[y * pw + x] ^ 0x80);
  };
  auto block = [&](int component, int x0, int y0) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) out.push_back(sample(component, x0 + x, y0 + y));
    }
  };
  for (int my = 0; my * 16 < h && out.size() < total; ++my) {
    for (int mx = 0; mx * 16 < w && out.size() < total; ++mx) {
      block(0, mx * 16, my * 16);
      block(0, mx * 16 + 8, my * 16);
      block(0, mx * 16, my * 16 + 8);
      block(0, mx * 16 + 8, my * 16 + 8);
      block(1, mx * 8, my * 8);
      block(2, mx * 8, my * 8);
    }
  }
  out.resize(total);
  return out;
}

}  // namespace

FrameStreamer::FrameStreamer(std::unique_ptr<Scene> scene, StreamFaults faults)
    : scene_(std::move(scene)), faults_(faults), random_(faults.seed) {
  stillScene_ = !scene_->Moves();
}

bool FrameStreamer::Chance(double probability) {
  if (probability <= 0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < probability;
}

const std::vector<std::uint8_t>& FrameStreamer::Payload(const StreamSettings& settings) {
  const int width = settings.sensorWidth > 0 ? settings.sensorWidth : 640;
  const int height = settings.sensorHeight > 0 ? settings.sensorHeight : 480;
  const bool raw = settings.imageType == kRawImageType;
  const std::uint64_t key = (static_cast<std::uint64_t>(width) << 32) |
                            (static_cast<std::uint64_t>(height) << 16) | (raw ? 0x100u : 0u) |
                            settings.qtableIndex;
  if (stillScene_) {
    auto found = stillPayloads_.find(key);
    if (found != stillPayloads_.end()) return found->second;
  }
  PlanarImage image(width, height, Sampling::k420);
  scene_->Render(framesStarted_, image);
  std::vector<std::uint8_t> payload =
      raw ? RawMacroblocks(image) : EncodeFrame(image, settings.qtableIndex);
  if (stillScene_) return stillPayloads_[key] = std::move(payload);
  movingPayload_ = std::move(payload);
  return movingPayload_;
}

void FrameStreamer::StartFrame(const StreamSettings& settings, ULONG frame) {
  ComposeFrame(settings);
  position_ = 0;
  sequence_ = 0;
  inFrame_ = true;
  const std::uint64_t start = static_cast<std::uint64_t>(frame) * 1000;
  // The sensor keeps its 30 Hz cadence although frames start on whole USB
  // frames; only a start more than a period late (the first picture, or one
  // the bandwidth held back) sets a new cadence.
  const std::uint64_t cadence =
      start >= nextStartTime_ + kSensorInterval ? start : nextStartTime_;
  nextStartTime_ = cadence + kSensorInterval;
}

const std::vector<std::uint8_t>& FrameStreamer::NextFrame(const StreamSettings& settings) {
  ComposeFrame(settings);
  return stream_;
}

void FrameStreamer::ComposeFrame(const StreamSettings& settings) {
  const std::vector<std::uint8_t>& payload = Payload(settings);
  stream_.assign(kHeaderBytes, 0);
  stream_[0] = kSyncByte;  // the second sync byte opens the raw frame's header
  std::memcpy(&stream_[1], &framesStarted_, sizeof framesStarted_);
  stream_[5] = settings.sizeNumber;
  stream_[6] = settings.imageType;
  stream_[7] = settings.qtableIndex;
  stream_.insert(stream_.end(), payload.begin(), payload.end());
  if (onFrameSent_) {
    const int width = settings.sensorWidth > 0 ? settings.sensorWidth : 640;
    const int height = settings.sensorHeight > 0 ? settings.sensorHeight : 480;
    onFrameSent_(
        {framesStarted_, width, height, settings.imageType, settings.qtableIndex, &payload});
  }
  ++framesStarted_;
}

FrameStreamer::Packet FrameStreamer::MakePacket(const StreamSettings& settings, ULONG frame,
                                                std::size_t maxPacket) {
  Packet out = ComposePacket(settings, frame, maxPacket);
  const bool failing =
      frame >= faults_.failFirstFrame && frame - faults_.failFirstFrame < faults_.failFrameCount;
  if (failing) {
    out.bytes.clear();
    out.result = {kLostPacket, 0};
  }
  ++packetsSent_;
  return out;
}

FrameStreamer::Packet FrameStreamer::ComposePacket(const StreamSettings& settings, ULONG frame,
                                                   std::size_t maxPacket) {
  Packet out;
  if (!settings.capturing || maxPacket < 2) {
    inFrame_ = false;
    held_.clear();
    return out;
  }
  if (!held_.empty()) {
    out = std::move(held_.front());
    held_.erase(held_.begin());
  } else {
    if (!inFrame_) {
      if (static_cast<std::uint64_t>(frame) * 1000 < nextStartTime_) {
        return out;  // idle until the sensor has the next picture
      }
      StartFrame(settings, frame);
    } else if (Chance(faults_.empty)) {
      return out;
    } else if (Chance(faults_.marker)) {
      out.bytes = {kNoDataMarker, 0};
      out.result.length = 2;
      return out;
    }
    auto cut = [&]() {
      Packet p;
      const std::size_t n = std::min(maxPacket - 1, stream_.size() - position_);
      p.bytes.resize(n + 1);
      if (position_ == 0) {
        p.bytes[0] = kSyncByte;
      } else {
        p.bytes[0] = sequence_;
        sequence_ = static_cast<UCHAR>(sequence_ + 1 == kSequenceModulus ? 0 : sequence_ + 1);
      }
      std::memcpy(p.bytes.data() + 1, stream_.data() + position_, n);
      position_ += n;
      p.result.length = static_cast<ULONG>(n + 1);
      if (position_ == stream_.size()) inFrame_ = false;
      return p;
    };
    out = cut();
    if (inFrame_ && position_ != 0 && Chance(faults_.reorder)) {
      held_.push_back(std::move(out));
      out = cut();
    }
    if (Chance(faults_.loss)) {
      out.bytes.clear();
      out.result = {kLostPacket, 0};
    } else if (Chance(faults_.error)) {
      out.result.status = USBD_STATUS_CRC;
    }
  }
  return out;
}

host::UsbIsoPacket FrameStreamer::NextPacket(const StreamSettings& settings, ULONG frame,
                                             std::span<UCHAR> packet) {
  // The camera sends in every frame, whether or not a transfer was there to
  // take the packet: walk through the frames nobody received.
  if (haveLastFrame_ && frame > lastFrame_ + 1) {
    if (frame - lastFrame_ - 1 > kLongestGap) {
      inFrame_ = false;
      held_.clear();
    } else {
      for (ULONG f = lastFrame_ + 1; f < frame; ++f) MakePacket(settings, f, packet.size());
    }
  }
  haveLastFrame_ = true;
  lastFrame_ = frame;
  Packet p = MakePacket(settings, frame, packet.size());
  const std::size_t n = std::min<std::size_t>(p.result.length, packet.size());
  if (!p.bytes.empty()) std::memcpy(packet.data(), p.bytes.data(), std::min(n, p.bytes.size()));
  p.result.length = static_cast<ULONG>(n);
  return p.result;
}

}  // namespace veltocam::sim
