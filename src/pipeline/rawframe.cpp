// One camera frame to one client picture. The camera's image (sensor window
// size) is decoded or reordered into RawImageBuffer, scaled or placed to the
// client's size, converted to RGB24 when asked, and kept in ConvertBuffer as
// the repeat picture for frames that cannot be used.
#include "pipeline/rawframe.h"

#include <cstring>
#include <type_traits>

#include "classlayer/callback_table.h"
#include "codec/decoder.h"
#include "control/camerastate.h"
#include "control/devicecontext.h"
#include "control/tracing.h"
#include "pipeline/reorderscale.h"
#include "pipeline/rgb24.h"
#include "pipeline/snapshot.h"

static_assert(std::is_same_v<decltype(&ProcessRawFrame), ProcessRawFrameCallback>);
static_assert(std::is_same_v<decltype(&ProcessRawFrameBasic), BasicProcessRawFrameCallback>);

namespace {

constexpr ULONG kFourccI420 = 0x30323449;
constexpr ULONG kFourccIyuv = 0x56555949;
constexpr UCHAR kRawImageType = 4;
// Image type 0 frames carry 2 bytes per pixel; their snapshot is taken raw.
constexpr UCHAR kTwoBytePixelImageType = 0;
constexpr UCHAR kGoodFramesCounted = 4;
constexpr UCHAR kGoodFrameFlagWritten = 100;
// The decoder's bit reader fetches this far past the coded data.
constexpr ULONG kDecoderReadAhead = 5;
constexpr UCHAR kNoColour = 0x80;
constexpr ULONG kLargestSide = 640;

enum class Output { Rgb24, Yuv420, Other };

Output OutputOf(const DeviceContext* context) {
  switch (context->OutputCompression) {
    case 0:
      return Output::Rgb24;
    case kFourccI420:
    case kFourccIyuv:
      return Output::Yuv420;
    default:
      return Output::Other;
  }
}

// The black and repeat pictures of an unknown format take the 4:2:0 size.
ULONG OutputSize(const DeviceContext* context) {
  return OutputOf(context) == Output::Rgb24 ? context->Rgb24FrameSize : context->Yuv420FrameSize;
}

// The bytes of a frame that the packets delivered.
struct RawFrame {
  const UCHAR* Data;
  ULONG Received;
  ULONG Packets;
};

class FrameLock {
 public:
  explicit FrameLock(DeviceContext* context) : lock_(&context->FrameLock) {
    KeWaitForSingleObject(lock_, Executive, KernelMode, FALSE, nullptr);
  }
  ~FrameLock() { KeReleaseSemaphore(lock_, 0, 1, FALSE); }
  FrameLock(const FrameLock&) = delete;
  FrameLock& operator=(const FrameLock&) = delete;

 private:
  KSEMAPHORE* lock_;
};

bool WorkBuffersPresent(const DeviceContext* context) {
  return context->RawImageBuffer != nullptr && context->ConvertBuffer != nullptr;
}

// The client's picture as the stream start described it: sizes that fit the
// work buffers (RGB24 included) and frame sizes that agree with them.
bool OutputGeometrySound(const DeviceContext* context) {
  const ULONG w = context->RealImageWidth;
  const ULONG h = context->RealImageHeight;
  return w != 0 && h != 0 && w % 2 == 0 && h % 2 == 0 && w <= kLargestSide && h <= kLargestSide &&
         w * h * 3 <= kWorkBufferSize && context->PixelCount == w * h &&
         context->Rgb24FrameSize == w * h * 3 && context->Yuv420FrameSize == w * h * 3 / 2;
}

// The camera's image must fit RawImageBuffer.
bool SensorGeometrySound(const DeviceContext* context) {
  const ULONG w = context->SensorImageWidth;
  const ULONG h = context->SensorImageHeight;
  return w != 0 && h != 0 && w <= kLargestSide && h <= kLargestSide &&
         w * h * 3 / 2 <= kWorkBufferSize;
}

void WriteBlack(const DeviceContext* context, UCHAR* picture) {
  if (OutputOf(context) == Output::Rgb24) {
    std::memset(picture, 0, context->Rgb24FrameSize);
  } else {
    std::memset(picture, 0, context->PixelCount);
    std::memset(picture + context->PixelCount, kNoColour, context->PixelCount / 2);
  }
}

void KeepAsRepeatPicture(DeviceContext* context, const UCHAR* picture, ULONG size) {
  std::memcpy(context->ConvertBuffer, picture, size);
}

void DeliverRepeatPicture(const DeviceContext* context, UCHAR* picture, ULONG size) {
  std::memcpy(picture, context->ConvertBuffer, size);
}

// Counts the first good frames of a stream; the fifth publishes the flag once.
void CountGoodFrame(DeviceContext* context) {
  if (context->GoodFrameCount < kGoodFramesCounted) {
    ++context->GoodFrameCount;
  } else if (context->GoodFrameCount != kGoodFrameFlagWritten) {
    context->GoodFrameCount = kGoodFrameFlagWritten;
    WriteGoodFrameFlag(context, 1);
  }
}

bool ReorderRawFrame(DeviceContext* context, const RawFrame& frame) {
  if (!SensorGeometrySound(context) || frame.Data == nullptr) return false;
  const ULONG w = context->SensorImageWidth;
  const ULONG h = context->SensorImageHeight;
  // A short frame would leave the reorder reading past what arrived.
  const ULONGLONG needed = ULONGLONG{context->PropertyByteOffset} + RawMacroblockFrameBytes(w, h);
  if (needed > frame.Received) return false;
  ReorderRawMacroblocks(frame.Data + context->PropertyByteOffset, w, h, context->RawImageBuffer);
  return true;
}

// Copies the coded bytes (every packet's payload after the header) to the
// start of the client's buffer with the decoder's read-ahead zeroed behind
// them, and decodes them into RawImageBuffer at the sensor size.
bool DecodeCodedFrame(DeviceContext* context, const RawFrame& frame, UCHAR* staging,
                      ULONG stagingLength) {
  if (!SensorGeometrySound(context) || frame.Data == nullptr || context->MaxPacketSize == 0) {
    return false;
  }
  // A frame that came by one bulk transfer has no packets: every byte
  // received belongs to it.
  const ULONGLONG delivered =
      frame.Packets != 0 ? ULONGLONG{frame.Packets} * (context->MaxPacketSize - 1) : frame.Received;
  const ULONG header = context->PropertyByteOffset;
  if (delivered < header || delivered > frame.Received) return false;
  const ULONGLONG coded = delivered - header;
  if (coded + kDecoderReadAhead > stagingLength) return false;

  std::memcpy(staging, frame.Data + header, coded);
  std::memset(staging + coded, 0, kDecoderReadAhead);
  const std::uint32_t status = DecodeCompressedFrame(
      static_cast<std::int32_t>(coded), staging,
      static_cast<std::int32_t>(context->SensorImageWidth),
      static_cast<std::int32_t>(context->SensorImageHeight), context->QTableIndex,
      /*SamplingType=*/0, /*PlanarOutput=*/1, /*UseStride=*/0, /*Stride=*/0, /*BgrOrder=*/0,
      /*FlipVertical=*/0, context->RawImageBuffer, /*Enlarge=*/0, /*EnlargeBuffer=*/nullptr);
  return (status & 0xFFFF) == CODEC_OK;
}

// The camera's image into RawImageBuffer; false when the frame cannot give one.
bool DecodeOrReorder(DeviceContext* context, const RawFrame& frame, UCHAR* staging,
                     ULONG stagingLength) {
  return context->ImageType == kRawImageType
             ? ReorderRawFrame(context, frame)
             : DecodeCodedFrame(context, frame, staging, stagingLength);
}

// RawImageBuffer to the client's size as 4:2:0: compressed 640-wide pictures
// may be placed unscaled on grey instead of scaled.
bool ComposePicture(DeviceContext* context, UCHAR* picture) {
  const ULONG size = context->Yuv420FrameSize;
  if (context->ImageType != kRawImageType && context->VgaNoInterpolate == 1 &&
      context->RealImageWidth == 640) {
    return PlaceVgaImage(context, picture, size) != 0;
  }
  return ScaleYuv420(context, picture, size, context->RawImageBuffer) != 0;
}

// The raw format has no picture for the two smallest widths: all zeroes.
bool RawWithoutPicture(const DeviceContext* context) {
  return context->ImageType == kRawImageType &&
         (context->RealImageWidth == 160 || context->RealImageWidth == 176);
}

void ProduceRgb24(DeviceContext* context, const RawFrame& frame, UCHAR* out, ULONG outLength) {
  const ULONG size = context->Rgb24FrameSize;
  if (RawWithoutPicture(context)) {
    std::memset(out, 0, size);
  } else if (DecodeOrReorder(context, frame, out, outLength) &&
             ComposePicture(context, context->ConvertBuffer)) {
    // ConvertBuffer serves as the 4:2:0 stage here; the repeat picture is
    // rewritten below in the output format.
    if (context->HasMmx != 0) {
      ConvertYuv420ToRgb24Mmx(context, context->ConvertBuffer, out);
    } else {
      ConvertYuv420ToRgb24(context, context->ConvertBuffer, out);
    }
  } else {
    DeliverRepeatPicture(context, out, size);
    return;
  }
  KeepAsRepeatPicture(context, out, size);
}

void ProduceYuv420(DeviceContext* context, const RawFrame& frame, UCHAR* out, ULONG outLength) {
  const ULONG size = context->Yuv420FrameSize;
  if (RawWithoutPicture(context)) {
    std::memset(out, 0, size);
    KeepAsRepeatPicture(context, out, size);
  } else if (DecodeOrReorder(context, frame, out, outLength) && ComposePicture(context, out)) {
    KeepAsRepeatPicture(context, out, size);
  } else {
    DeliverRepeatPicture(context, out, size);
  }
}

void SaveSnapshotIfWanted(DeviceContext* context, const UCHAR* picture) {
  if (bSnap.load() == 0) return;
  DebugTrace("\n(Velto) Snap On(bType=%d)\n", context->ImageType);
  const ULONG pixels = context->RealImageWidth * context->RealImageHeight;
  if (context->ImageType == kTwoBytePixelImageType) {
    WriteSnapshotFile(context, context->RawImageBuffer, pixels * 2);
  } else {
    WriteSnapshotFile(context, picture, pixels * 3 / 2);
  }
}

// Without a frame mark the camera-wide flag tells the damage, and this call
// sets it back for the next frame.
void Settle(DeviceContext* context, const FrameMark* mark) {
  if (mark == nullptr) MarkFrameValid(context);
}

void ProcessFrame(DeviceContext* context, const FrameMark* mark, UCHAR* out, ULONG outLength,
                  const RawFrame& frame, ULONG* bytesReturned) {
  const ULONG size = OutputSize(context);
  if (!OutputGeometrySound(context) || size > outLength) {
    // No picture of the stream's size fits: deliver nothing rather than
    // write past the client's buffer or the work buffers.
    *bytesReturned = 0;
    Settle(context, mark);
    return;
  }
  if (context->FirstFrameDone == 0) {
    WriteBlack(context, out);
    KeepAsRepeatPicture(context, out, size);
    *bytesReturned = size;
    context->FirstFrameDone = 1;
    Settle(context, mark);
    return;
  }
  const bool damaged = mark != nullptr ? mark->Damaged != 0 : !IsFrameValid(context);
  if (damaged) {
    DeliverRepeatPicture(context, out, size);
    *bytesReturned = size;
    Settle(context, mark);
    return;
  }
  Settle(context, mark);
  CountGoodFrame(context);

  switch (OutputOf(context)) {
    case Output::Rgb24:
      *bytesReturned = size;
      ProduceRgb24(context, frame, out, outLength);
      break;
    case Output::Yuv420:
      *bytesReturned = size;
      ProduceYuv420(context, frame, out, outLength);
      SaveSnapshotIfWanted(context, out);
      break;
    case Output::Other:
      break;
  }
}

NTSTATUS ProcessReceivedFrame(PVOID deviceContext, PVOID frameContext, PVOID frameBuffer,
                              ULONG frameLength, PVOID rawFrameBuffer, ULONG received,
                              ULONG numberOfPackets, ULONG* bytesReturned) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  const auto* mark = static_cast<const FrameMark*>(frameContext);
  // The cancel path comes at dispatch level without buffers: nothing to do.
  if (frameBuffer == nullptr || bytesReturned == nullptr) return STATUS_SUCCESS;
  if (!WorkBuffersPresent(context)) {
    *bytesReturned = 0;
    Settle(context, mark);
    return STATUS_SUCCESS;
  }
  const RawFrame frame{static_cast<const UCHAR*>(rawFrameBuffer),
                       rawFrameBuffer == nullptr ? 0 : received, numberOfPackets};
  FrameLock lock(context);
  ProcessFrame(context, mark, static_cast<UCHAR*>(frameBuffer), frameLength, frame, bytesReturned);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ProcessRawFrame(DEVICE_OBJECT*, PVOID deviceContext, PVOID frameContext, PVOID frameBuffer,
                         ULONG frameLength, PVOID rawFrameBuffer, ULONG rawFrameLength,
                         ULONG numberOfPackets, ULONG* bytesReturned, ULONG actualRawFrameLength,
                         ULONG) {
  const ULONG received =
      actualRawFrameLength < rawFrameLength ? actualRawFrameLength : rawFrameLength;
  return ProcessReceivedFrame(deviceContext, frameContext, frameBuffer, frameLength, rawFrameBuffer,
                              received, numberOfPackets, bytesReturned);
}

NTSTATUS ProcessRawFrameBasic(DEVICE_OBJECT*, PVOID deviceContext, PVOID frameContext,
                              PVOID frameBuffer, ULONG frameLength, PVOID rawFrameBuffer,
                              ULONG rawFrameLength, ULONG numberOfPackets, ULONG* bytesReturned) {
  return ProcessReceivedFrame(deviceContext, frameContext, frameBuffer, frameLength, rawFrameBuffer,
                              rawFrameLength, numberOfPackets, bytesReturned);
}
