// The compressed frames a simulated camera sent, kept by number, and the
// sensor-size picture the decoder makes of each: what the end-to-end tests
// hold delivered pictures against.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "codec/decoder.h"
#include "sim/frame_streamer.h"

namespace veltocam::test {

struct SentCopy {
  int width, height;
  std::uint8_t qtable;
  std::vector<std::uint8_t> payload;
};

class SentFrames {
 public:
  // Records every frame the streamer sends from now on.
  void Watch(sim::FrameStreamer& streamer) {
    streamer.OnFrameSent([this](const sim::SentFrame& f) {
      frames_[f.number] = {f.width, f.height, f.qtableIndex, *f.payload};
    });
  }
  const std::map<std::uint32_t, SentCopy>& All() const { return frames_; }

  static std::vector<std::uint8_t> Decode(const SentCopy& s) {
    std::vector<std::uint8_t> coded = s.payload;
    coded.resize(coded.size() + 5, 0);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(s.width) * s.height * 3 / 2);
    EXPECT_EQ(
        DecodeCompressedFrame(static_cast<std::int32_t>(s.payload.size()), coded.data(), s.width,
                              s.height, s.qtable, 0, 1, 0, 0, 0, 0, out.data(), 0, nullptr) &
            0xFFFF,
        0u);
    return out;
  }

 private:
  std::map<std::uint32_t, SentCopy> frames_;
};

}  // namespace veltocam::test
