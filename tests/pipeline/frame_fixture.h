// A streaming camera for the raw-frame callback: registry keys for the
// published values, a system directory for the snapshot file, camera frames
// made by the encoder and cut into packets, and the pictures to expect.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "configured_camera.h"
#include "pipeline/rawframe.h"
#include "pipeline/simd_level.h"
#include "platform/host/files_host.h"
#include "platform/host/registry_store.h"
#include "sim/encoder/test_picture.h"
#include "support/test_directory.h"

namespace veltocam::test {

constexpr ULONG kI420 = 0x30323449;
constexpr ULONG kIyuv = 0x56555949;
constexpr ULONG kRgb24 = 0;
constexpr UCHAR kCompressed = 5;
constexpr UCHAR kRaw = 4;
constexpr ULONG kPacketSize = 1023;
constexpr ULONG kPayload = kPacketSize - 1;  // bytes each packet adds to the raw frame
constexpr UCHAR kHeaderBytes = 15;
constexpr char kGoodFrameKey[] = "\\Registry\\MACHINE\\SOFTWARE\\VeltoCam\\GoodFrame";
constexpr char kBufferKey[] = "\\Registry\\MACHINE\\SOFTWARE\\VeltoCam\\BUFFER";

// A frame as the class layer hands it over: header, data, then the rest of the
// last packet; the buffer has room for one packet more.
struct CameraFrame {
  std::vector<UCHAR> raw;
  ULONG packets = 0;
  ULONG received = 0;
};

inline CameraFrame Packetise(const std::vector<UCHAR>& data, ULONG extraPackets = 0) {
  CameraFrame frame;
  frame.packets = (kHeaderBytes + ULONG(data.size()) + kPayload - 1) / kPayload + extraPackets;
  frame.received = frame.packets * kPayload;
  frame.raw.assign(kHeaderBytes, 0xA5);
  frame.raw.insert(frame.raw.end(), data.begin(), data.end());
  frame.raw.resize(frame.received + kPayload, 0xFF);
  return frame;
}

inline std::vector<UCHAR> TestPicture(ULONG w, ULONG h, unsigned seed) {
  return sim::MakeTestPicture(int(w), int(h), sim::Sampling::k420, seed).pixels;
}

inline std::vector<UCHAR> Encode(ULONG w, ULONG h, unsigned seed, int quality = 3) {
  return sim::EncodeFrame(sim::MakeTestPicture(int(w), int(h), sim::Sampling::k420, seed), quality);
}

// The camera's image as the decoder gives it.
inline std::vector<UCHAR> Decoded(const std::vector<UCHAR>& coded, ULONG w, ULONG h,
                                  int quality = 3) {
  std::vector<UCHAR> data = coded;
  data.resize(data.size() + 5, 0);
  std::vector<UCHAR> picture(w * h * 3 / 2);
  EXPECT_EQ(DecodeCompressedFrame(int(coded.size()), data.data(), int(w), int(h), quality, 0, 1, 0,
                                  0, 0, 0, picture.data(), 0, nullptr),
            CODEC_OK);
  return picture;
}

class StreamingCamera : public testing::Test {
 protected:
  void SetUp() override {
    host::CreateRegistryKey(kGoodFrameKey);
    host::CreateRegistryKey(kBufferKey);
    CopyPath(kGoodFrameKey, ctx()->GoodFrameKeyPath);
    CopyPath(kBufferKey, ctx()->BufferKeyPath);
    root_ = FreshTestDirectory("veltocam_frames_");
    host::SetSystemRoot(root_.string());
    bSnap = 0;
    DebugMessage = 0;
  }
  void TearDown() override {
    bSnap = 0;
    DebugMessage = 0;
    std::filesystem::remove_all(root_);
  }

  DeviceContext* ctx() { return camera_.ctx(); }

  // The state a stream start leaves: maps built, first frame still to come.
  void Start(ULONG sensorW, ULONG sensorH, ULONG w, ULONG h, ULONG compression,
             UCHAR imageType = kCompressed) {
    camera_.Stream(sensorW, sensorH, w, h);
    ctx()->OutputCompression = compression;
    ctx()->ImageType = imageType;
    ctx()->PropertyByteOffset = kHeaderBytes;
    ctx()->MaxPacketSize = kPacketSize;
    ctx()->QTableIndex = 3;
    ctx()->HasMmx = 1;
    ctx()->FirstFrameDone = 0;
    ctx()->GoodFrameCount = 0;
    MarkFrameValid(ctx());
  }

  ULONG OutputSize() {
    return ctx()->OutputCompression == kRgb24 ? ctx()->Rgb24FrameSize : ctx()->Yuv420FrameSize;
  }

  // Runs the callback with a client buffer of `frameLength` bytes (the output
  // size by default) and checks that nothing is written past it.
  std::vector<UCHAR> Deliver(const CameraFrame& frame, ULONG frameLength = 0,
                             ULONG received = ~0u) {
    if (frameLength == 0) frameLength = OutputSize();
    std::vector<UCHAR> buffer(frameLength + 64, 0xCD);
    bytes_ = 0xDEADBEEF;
    std::vector<UCHAR> raw = frame.raw;
    EXPECT_EQ(ProcessRawFrame(nullptr, ctx(), nullptr, buffer.data(), frameLength, raw.data(),
                              ULONG(raw.size()), frame.packets, &bytes_,
                              received == ~0u ? frame.received : received, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(buffer.end() - 64, buffer.end()), std::vector<UCHAR>(64, 0xCD))
        << "written past the client's buffer";
    EXPECT_EQ(raw, frame.raw) << "the raw frame was changed";
    buffer.resize(std::min<ULONG>(bytes_, frameLength));
    return buffer;
  }

  std::vector<UCHAR> DeliverDamaged(const CameraFrame& frame) {
    MarkFrameDamaged(ctx());
    return Deliver(frame);
  }

  // The sensor image brought to the stream's output size by the scaler.
  std::vector<UCHAR> Scaled(const std::vector<UCHAR>& sensorPicture) {
    std::vector<UCHAR> out(ctx()->Yuv420FrameSize);
    EXPECT_NE(ScaleYuv420Using(SimdLevel::Plain, ctx(), out.data(), ULONG(out.size()),
                               sensorPicture.data()),
              0u);
    return out;
  }

  std::vector<UCHAR> Rgb(const std::vector<UCHAR>& picture) {
    std::vector<UCHAR> out(ctx()->Rgb24FrameSize);
    ConvertYuv420ToRgb24Using(SimdLevel::Plain, ctx()->RealImageWidth, ctx()->RealImageHeight,
                              picture.data(), out.data());
    return out;
  }

  std::vector<UCHAR> SnapshotFile() {
    std::ifstream in(root_ / "snap.dat", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool SnapshotExists() { return std::filesystem::exists(root_ / "snap.dat"); }

  ULONG bytes_ = 0;
  std::filesystem::path root_;

 private:
  template <size_t N>
  static void CopyPath(const char* path, WCHAR (&out)[N]) {
    size_t i = 0;
    for (; path[i] != 0 && i + 1 < N; ++i) out[i] = static_cast<WCHAR>(path[i]);
    out[i] = 0;
  }

  ConfiguredCamera camera_;
};

}  // namespace veltocam::test
