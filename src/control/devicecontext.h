// DeviceContext: everything the device layer knows about one camera. The class
// layer allocates it zero-filled behind its own device record and passes it to
// every callback; the buffers it points to belong to the device layer
// (allocated by Configure, freed by UnInitialize).
#pragma once

#include <atomic>

#include "classlayer/service_interface.h"
#include "platform/usb.h"

constexpr ULONG kDeviceContextSignature = PoolTag("KVDC");  // the four bytes in memory order
constexpr ULONG kDevicePoolTag = PoolTag("Wdm ");

// 640 x 481 x 3: the largest raw frame plus the row the raw path may spill into.
constexpr ULONG kWorkBufferSize = 923520;
constexpr ULONG kScaleMapSize = 640;
constexpr ULONG kInitialFrameRate = 20;
constexpr ULONG kSensorSizeCount = 16;

// The configurable command set, in table order.
enum VendorCommandId : int {
  SetQtable,
  TurnOnGpioPower,
  SetImageType,
  SetPcCamStart,
  SetPcCamStop,
  SetCamIdle,
  SetAeAwbFlag,
  TurnOffGpioPower,
  SizePcCamSize,
  SetAeBandingFlag,
  SyncDataTime,
  Brightness,
  Contrast,
  HueL,
  HueH,
  Saturation,
  Sharpness,
  SetAwbMode,
  kVendorCommandCount
};

// Request 0xFF marks a command the store did not configure.
constexpr UCHAR kCommandNotConfigured = 0xFF;

struct VendorCommandDescriptor {
  UCHAR Request;
  USHORT Index;
  USHORT Value;
  USHORT Length;
};

struct SensorWindow {
  ULONG Width;
  ULONG Height;
};

struct DeviceContext {
  ULONG Signature;
  ULONG FrameRate;
  USBD_INTERFACE_INFORMATION* Interface;
  ULONG ProcAmpValue[6];
  ULONG ControlValue[3];
  ULONG ApplyRegistryValues;
  ULONG SequenceErrorCount;
  UCHAR FrameValid;  // shared with the frame work item: access through the helpers below
  UCHAR RestoringProperties;
  UCHAR NextSequenceByte;
  UCHAR ImageType;
  ULONG AwbMode;
  UCHAR PacketSizeMax;
  UCHAR AeBandingType;
  UCHAR DefaultWhiteBalance;
  UCHAR DriverInitial;
  UCHAR SensorType;
  UCHAR SoftwareAeAwb;
  UCHAR QTableIndex;
  UCHAR Simulate160120;
  UCHAR NoSensorSize;
  UCHAR VgaNoInterpolate;
  UCHAR GoodFrameCount;
  ULONG HasMmx;
  ULONG RealImageWidth;
  ULONG RealImageHeight;
  ULONG Rgb24FrameSize;
  ULONG Yuv420FrameSize;
  ULONG PixelCount;
  ULONG SensorImageWidth;
  ULONG SensorImageHeight;
  SensorWindow SensorSize[kSensorSizeCount];  // entry k: capture size number k + 1
  UCHAR FirstFrameDone;
  UCHAR TotalSyncByte;
  UCHAR SyncByte0;
  UCHAR SyncByte1;
  UCHAR NextSyncByte;
  UCHAR PropertyByteOffset;
  UCHAR* RawImageBuffer;
  UCHAR* ConvertBuffer;
  WCHAR ControlKeyPath[64];
  WCHAR VideoProcAmpKeyPath[64];
  WCHAR HwSnapKeyPath[64];
  WCHAR DefaultKeyPath[64];
  WCHAR HwStateKeyPath[64];
  WCHAR BufferKeyPath[64];
  WCHAR SnapKeyPath[64];
  WCHAR VendorCommandKeyPath[128];
  WCHAR GuidKeyPath[128];
  WCHAR GoodFrameKeyPath[128];
  VendorCommandDescriptor VendorCommand[kVendorCommandCount];
  UCHAR* p_ucScale_V_Buf_Y;
  USHORT wScale_V_BufLen_Y;
  UCHAR* p_ucScale_V_Buf_UV;
  USHORT wScale_V_BufLen_UV;
  UCHAR* p_ucScale_H_Buf_Y;
  USHORT wScale_H_BufLen_Y;
  UCHAR* p_ucScale_H_Buf_UV;
  USHORT wScale_H_BufLen_UV;
  ULONG ImageWidth;
  ULONG ImageHeight;
  ULONG OutputCompression;
  ULONG RawFrameLength;
  ULONG MaxPacketSize;
  // Capture and still frames are finished by different work items but share
  // the work buffers: one frame at a time (initialised by Configure).
  KSEMAPHORE FrameLock;
  // Kept by the request filter: the port's device object for this camera and
  // the device below it, whether a stream was opened, and the class layer's
  // service interface (Version 0 when the class layer did not offer it).
  DEVICE_OBJECT* ClassDeviceObject;
  DEVICE_OBJECT* LowerDeviceObject;
  UCHAR StreamOpen;
  ServiceInterface Services;
  // Bit i set: ProcAmpValue[i] holds a value that was restored or set, so it
  // may be saved; a zero-filled slot is never written to the store.
  UCHAR ProcAmpValueKnown;
};

// FrameValid is written by the packet path at DISPATCH_LEVEL and tested and
// set again by the frame work item at PASSIVE_LEVEL: one atomic byte.
inline void MarkFrameDamaged(DeviceContext* context) {
  std::atomic_ref<UCHAR>(context->FrameValid).store(0, std::memory_order_relaxed);
}
inline void MarkFrameValid(DeviceContext* context) {
  std::atomic_ref<UCHAR>(context->FrameValid).store(1, std::memory_order_relaxed);
}
inline bool IsFrameValid(const DeviceContext* context) {
  return std::atomic_ref<UCHAR>(const_cast<UCHAR&>(context->FrameValid))
             .load(std::memory_order_relaxed) != 0;
}

// The device layer's frame context, carried by every read request: whether
// the frame that request received was damaged. The packet path writes it when
// the frame ends (at the next frame start), so the frame work item reads a
// mark of its own frame, not the camera-wide flag that the next frame's
// packets are already changing.
struct FrameMark {
  UCHAR Damaged;
  UCHAR Reserved[3];
};
constexpr ULONG kFrameContextSize = sizeof(FrameMark);
static_assert(kFrameContextSize == 4);

// ---- Module-wide state of the device layer (one set for the driver) ---------
extern ULONG DebugMessage;
// The camera reports up to 16 characters; the extra byte keeps the name
// terminated for the key paths even when all 16 are used.
constexpr ULONG kProductNameLength = 16;
extern UCHAR ProductName[kProductNameLength + 1];
extern UCHAR FirmwareVersion;
extern UCHAR ProductDescriptor[64];
extern UCHAR SizeTablePage[64];
extern UCHAR Flip;
extern ULONG AutoWhiteBalanceSetting;
extern UCHAR SnapshotStatus[2];
// Snapshots still wanted: set by the custom property, decremented after each
// saved picture; both sides may run at once.
extern std::atomic<UCHAR> bSnap;

// The pipe configuration given to the class layer: pipe 0 carries video data.
constexpr USHORT kPipeConfiguration[4] = {0x0101, 0x0000, 0x0000, 0x0000};

// Configure callback: keeps a copy of the interface record (after setting its
// alternate setting to 0 and pipe 0's transfer size to 32768), allocates the
// work buffers and scale maps, and fills the pipe configuration. Called without
// an interface, it frees only the interface copy.
NTSTATUS Configure(DEVICE_OBJECT* bus, PVOID deviceContext,
                   USBD_INTERFACE_INFORMATION* interfaceInfo,
                   USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, ULONG numberOfPipes,
                   USHORT* pipeConfig, USB_DEVICE_DESCRIPTOR* deviceDescriptor);

// Frees every buffer the record owns (UnInitialize's share of the clean-up).
void FreeDeviceBuffers(DeviceContext* context);
