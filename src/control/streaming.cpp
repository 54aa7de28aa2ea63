#include "control/streaming.h"

#include "classlayer/device_layer_services.h"
#include "control/camerastate.h"
#include "control/configstore.h"
#include "control/identification.h"
#include "control/tracing.h"
#include "control/vendorcommands.h"
#include "platform/streamclass.h"

namespace {

constexpr UCHAR kTwoBytePixelImageType = 0;
constexpr UCHAR kHighestAlternateSetting = 8;
constexpr UCHAR kGlobalInitialRequest = 0x33;

struct CaptureWindow {
  UCHAR sizeNumber;
  ULONG sensorEntry;  // index into SensorSize
  const char* trace;
};

CaptureWindow WindowFor(const DeviceContext* context) {
  switch (context->ImageWidth) {
    case 640:
      return {1, 0, "\n(KorvaneCam) Set Windows 640*480\n"};
    case 320:
      return {2, 1, "\n(KorvaneCam) Set Windows 320*240\n"};
    case 352:
      return {1, 0, "\n(KorvaneCam) Set Windows 352*288\n"};
    case 176:
      return {3, 2, "\n(KorvaneCam) Set Windows 176*144\n"};
    default:
      return context->Simulate160120 != 0
                 ? CaptureWindow{2, 1, "\n(KorvaneCam) Set Windows 160*120\n"}
                 : CaptureWindow{3, 2, "\n(KorvaneCam) Set Windows 160*120\n"};
  }
}

// The size the camera is asked for: 176 x 144 is captured at 160 x 120 and
// 352 x 288 at 640 x 480; the scaler makes up the difference.
void SetCaptureSize(DeviceContext* context, ULONG width, ULONG height) {
  if (width == 176) {
    context->ImageWidth = 160;
    context->ImageHeight = 120;
  } else if (width == 352) {
    context->ImageWidth = 640;
    context->ImageHeight = 480;
  } else {
    context->ImageWidth = width;
    context->ImageHeight = height;
  }
}

void SetOutputSize(DeviceContext* context, ULONG width, ULONG height) {
  context->RealImageWidth = width;
  context->RealImageHeight = height;
  context->PixelCount = width * height;
  context->Rgb24FrameSize = context->PixelCount * 3;
  context->Yuv420FrameSize = context->PixelCount * 3 / 2;
  SetCaptureSize(context, width, height);
  context->RawFrameLength = context->ImageWidth * context->ImageHeight * 12 / 8;
}

const KS_BITMAPINFOHEADER* BitmapOf(KSDATAFORMAT* format) {
  return &reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
}

// The camera's start-up commands for the capture size already chosen.
void SendStartSequence(DeviceContext* context) {
  SendDataCommand(context, SetAeBandingFlag, context->AeBandingType,
                  "(KorvaneCam) Change Banding Type");
  SendDataCommand(context, SetAeAwbFlag,
                  static_cast<UCHAR>(context->VendorCommand[SetAeAwbFlag].Value & 0xFF),
                  "(KorvaneCam) Set AE/AWB Flag");
  SendCommand(context, TurnOnGpioPower, "(KorvaneCam) Turn On GPIO Power");
  InitialiseCamera(context);
  RunStandardInitList(context);
  SendDataCommand(context, SetImageType, context->ImageType,
                  "(KorvaneCam) Set PC Camera Image Type");
  if (context->ImageType == kTwoBytePixelImageType) {
    context->RawFrameLength = context->ImageWidth * context->ImageHeight * 2;
  }
  SendCommand(context, SetPcCamStart, "(KorvaneCam) PC Camera Start");
}

}  // namespace

ULONG InitialiseCamera(DeviceContext* context) {
  if (context->DriverInitial == 2) {
    RunStandardInitList(context);
  } else if (context->DriverInitial == 1) {
    DebugTrace("\n(KorvaneCam) DriverInitial:%d, SensorType:%d\n", 1, context->SensorType);
    VCwrite(context, kGlobalInitialRequest, 0, 0, 1, kCommandTimeout,
            "(KorvaneCam) Global Initial");
    VCwrite(context, kGlobalInitialRequest, 1, 0, 1, kCommandTimeout, "(KorvaneCam) CDSP Initial");
  }
  SelectCaptureWindow(context);
  return 0;
}

void SelectCaptureWindow(DeviceContext* context) {
  const CaptureWindow window = WindowFor(context);
  context->SensorImageWidth = context->SensorSize[window.sensorEntry].Width;
  context->SensorImageHeight = context->SensorSize[window.sensorEntry].Height;
  DebugTrace("%s", window.trace);
  DebugTrace("\n(VELT) Image=(%d,%d), RealImage=(%d,%d), SensorImage=(%d,%d)\n",
             static_cast<int>(context->ImageWidth), static_cast<int>(context->ImageHeight),
             static_cast<int>(context->RealImageWidth), static_cast<int>(context->RealImageHeight),
             static_cast<int>(context->SensorImageWidth),
             static_cast<int>(context->SensorImageHeight));
  SendDataCommand(context, SizePcCamSize, window.sizeNumber, "(KorvaneCam) Set PC Camera Size");
}

void SendQTable(DeviceContext* context) {
  SendDataCommand(context, SetQtable, context->QTableIndex, "(KorvaneCam) Set Q Table");
}

NTSTATUS ChooseAlternateSetting(DeviceContext* context, UCHAR highest) {
  for (UCHAR setting = highest; setting >= 1; --setting) {
    if (context->PacketSizeMax < setting) continue;
    context->Interface->AlternateSetting = setting;
    if (NT_SUCCESS(SelectAlternateSetting(context, context->Interface))) return STATUS_SUCCESS;
  }
  context->Interface->AlternateSetting = 0;
  return SelectAlternateSetting(context, context->Interface);
}

bool BeginStreamStart(DeviceContext* context) {
  ReadCameraInfo(context, 0);
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  WriteHwState(context, 1);
  if (IsOldFirmware(FirmwareVersion)) {
    DebugTrace("\nOld F/W can't use on this version video driver.\n");
    return false;
  }
  WriteGoodFrameFlag(context, 0);
  return true;
}

NTSTATUS StartCameraForFormat(DeviceContext* context, KSDATAFORMAT* format, NTSTATUS settingsStatus,
                              ULONG* rawFrameLength) {
  const KS_BITMAPINFOHEADER* bitmap = BitmapOf(format);
  *rawFrameLength = 0;
  context->RealImageWidth = static_cast<ULONG>(bitmap->biWidth);
  if (!NT_SUCCESS(settingsStatus)) return settingsStatus;
  context->OutputCompression = bitmap->biCompression;
  LoadCaptureSettings(context);
  SetOutputSize(context, static_cast<ULONG>(bitmap->biWidth), static_cast<ULONG>(bitmap->biHeight));
  SendStartSequence(context);
  const NTSTATUS status = ChooseAlternateSetting(context, kHighestAlternateSetting);
  if (NT_SUCCESS(status)) {
    context->MaxPacketSize = context->Interface->Pipes[0].MaximumPacketSize;
    if (context->MaxPacketSize != 0) {
      // Always at least one packet more than the frame needs.
      *rawFrameLength =
          context->MaxPacketSize * (context->RawFrameLength / context->MaxPacketSize + 1);
    }
    context->SequenceErrorCount = 0;
    context->NextSequenceByte = 0;
    MarkFrameValid(context);
  }
  return status;
}

void UseOutputSizeFromNowOn(DeviceContext* context) {
  if (context->RealImageHeight != context->ImageHeight) {
    context->ImageWidth = context->RealImageWidth;
    context->ImageHeight = context->RealImageHeight;
  }
}

NTSTATUS StartCapture(DEVICE_OBJECT*, PVOID deviceContext, ULONG streamNumber) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (streamNumber != 0) return STATUS_SUCCESS;
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  if (context->NoSensorSize == 1) {
    ReadCameraInfo(context, 0);
    InitialiseCamera(context);
    RunStandardInitList(context);
  }
  SendCommand(context, TurnOnGpioPower, "(KorvaneCam) Turn On GPIO Power");
  SendCommand(context, SetPcCamStart, "(KorvaneCam) PC Camera Start");
  SendQTable(context);
  return STATUS_SUCCESS;
}

void BeginCaptureStop(DeviceContext* context) {
  DebugTrace("Stop Video Capture\n");
  WriteGoodFrameFlag(context, 0);
  SaveAwbSettings(context);
}

void StopCamera(DeviceContext* context) {
  WriteHwState(context, 1);
  SendCommand(context, SetPcCamStop, "(KorvaneCam) PC Camera Stop");
  SendCommand(context, SetCamIdle, "(KorvaneCam) Set to Idle");
  SendCommand(context, TurnOffGpioPower, "(KorvaneCam) Turn Off GPIO Power");
  DebugTrace("------------\n");
}

NTSTATUS FreeBandwidth(DEVICE_OBJECT*, PVOID deviceContext, ULONG streamNumber) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (streamNumber != 0) return STATUS_SUCCESS;
  context->Interface->AlternateSetting = 0;
  return SelectAlternateSetting(context, context->Interface);
}
