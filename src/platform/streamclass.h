// The stream-class port: stream request blocks, stream objects, stream
// headers with the video frame information, notifications back to the port,
// the master clock, and the kernel-streaming format records.
#pragma once

#include "platform/io.h"

// ---- GUIDs and kernel-streaming basics ---------------------------------------
struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

using REFERENCE_TIME = LONGLONG;  // 100 ns units

struct KSTIME {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
};

enum KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };

struct KSDATAFORMAT {
  ULONG FormatSize;
  ULONG Flags;
  ULONG SampleSize;
  ULONG Reserved;
  GUID MajorFormat;
  GUID SubFormat;
  GUID Specifier;
};

struct KS_BITMAPINFOHEADER {
  ULONG biSize;
  LONG biWidth;
  LONG biHeight;
  USHORT biPlanes;
  USHORT biBitCount;
  ULONG biCompression;
  ULONG biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  ULONG biClrUsed;
  ULONG biClrImportant;
};

struct KS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  ULONG dwBitRate;
  ULONG dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;  // biSize bytes, possibly more than the record
};

struct KS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
};

static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);

// ---- Stream headers -----------------------------------------------------------
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT = 0x00000001;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000010;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;

struct KSSTREAM_HEADER {
  ULONG Size;  // of this header plus its media-specific extension
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;  // capacity of Data
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
};

// The video stream's media-specific extension, directly after the header.
struct KS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  ULONG dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG Reserved[10];
};

static_assert(sizeof(KS_FRAME_INFO) == 64);

// ---- Requests -------------------------------------------------------------------
enum SRB_COMMAND : ULONG {
  SRB_READ_DATA = 0x0,
  SRB_WRITE_DATA = 0x1,
  SRB_GET_STREAM_STATE = 0x2,
  SRB_SET_STREAM_STATE = 0x3,
  SRB_SET_STREAM_PROPERTY = 0x4,
  SRB_GET_STREAM_PROPERTY = 0x5,
  SRB_OPEN_MASTER_CLOCK = 0x6,
  SRB_INDICATE_MASTER_CLOCK = 0x7,
  SRB_UNKNOWN_STREAM_COMMAND = 0x8,
  SRB_SET_STREAM_RATE = 0x9,
  SRB_PROPOSE_DATA_FORMAT = 0xA,
  SRB_CLOSE_MASTER_CLOCK = 0xB,
  SRB_PROPOSE_STREAM_RATE = 0xC,
  SRB_SET_DATA_FORMAT = 0xD,
  SRB_GET_DATA_FORMAT = 0xE,
  SRB_BEGIN_FLUSH = 0xF,
  SRB_END_FLUSH = 0x10,
  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM = 0x101,
  SRB_CLOSE_STREAM = 0x102,
  SRB_OPEN_DEVICE_INSTANCE = 0x103,
  SRB_CLOSE_DEVICE_INSTANCE = 0x104,
  SRB_GET_DEVICE_PROPERTY = 0x105,
  SRB_SET_DEVICE_PROPERTY = 0x106,
  SRB_INITIALIZE_DEVICE = 0x107,
  SRB_CHANGE_POWER_STATE = 0x108,
  SRB_UNINITIALIZE_DEVICE = 0x109,
  SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
  SRB_PAGING_OUT_DRIVER = 0x10B,
  SRB_GET_DATA_INTERSECTION = 0x10C,
  SRB_INITIALIZATION_COMPLETE = 0x10D,
  SRB_SURPRISE_REMOVAL = 0x10E,
};

// Request flags.
constexpr ULONG SRB_HW_FLAGS_DATA_TRANSFER = 0x00000001;
constexpr ULONG SRB_HW_FLAGS_STREAM_REQUEST = 0x00000002;

struct HW_STREAM_OBJECT;
struct HW_STREAM_REQUEST_BLOCK;

using PHW_RECEIVE_STREAM_DATA_SRB = void (*)(HW_STREAM_REQUEST_BLOCK* srb);
using PHW_RECEIVE_STREAM_CONTROL_SRB = void (*)(HW_STREAM_REQUEST_BLOCK* srb);

struct HW_TIME_CONTEXT;
using PHW_CLOCK_FUNCTION = void (*)(HW_TIME_CONTEXT* timeContext);

struct HW_CLOCK_OBJECT {
  PHW_CLOCK_FUNCTION HwClockFunction;
  ULONG ClockSupportFlags;
  ULONG_PTR Reserved[2];
};

struct HW_STREAM_OBJECT {
  ULONG SizeOfThisPacket;
  ULONG StreamNumber;
  PVOID HwStreamExtension;  // the minidriver's per-stream record
  PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
  PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
  HW_CLOCK_OBJECT HWClockObject;
  BOOLEAN Dma;
  BOOLEAN Pio;
  PVOID HwDeviceExtension;
  ULONG StreamHeaderMediaSpecific;  // bytes of extension after each stream header
  ULONG StreamHeaderWorkspace;
  BOOLEAN Allocator;
  PVOID HwEventRoutine;
  ULONG Reserved[2];
};

struct HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  HW_STREAM_OBJECT* StreamObject;  // null for device requests
  PVOID HwDeviceExtension;
  PVOID SRBExtension;  // per-request extension of the size given at registration
  union {
    KSSTREAM_HEADER* DataBufferArray;
    KSSTATE StreamState;
    KSDATAFORMAT* OpenFormat;
    HANDLE MasterClockHandle;
    PVOID PropertyInfo;
    PVOID StreamBuffer;
    PVOID ConfigInfo;
    PVOID IntersectInfo;
    ULONG DeviceState;
  } CommandData;
  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;   // seconds left; the port counts down while queued
  ULONG TimeoutOriginal;  // reload value
  HW_STREAM_REQUEST_BLOCK* NextSRB;
  IRP* Irp;
  ULONG Flags;
  PVOID HwInstanceExtension;
  ULONG ActualBytesTransferred;
  ULONG Reserved[3];
};

// ---- Notifications to the port -------------------------------------------------
enum STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
  ReadyForNextStreamDataRequest = 0,
  ReadyForNextStreamControlRequest = 1,
  HardwareStarved = 2,
  StreamRequestComplete = 3,
  SignalMultipleStreamEvents = 4,
  SignalStreamEvent = 5,
  DeleteStreamEvent = 6,
};

enum STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
  ReadyForNextDeviceRequest = 0,
  DeviceRequestComplete = 1,
  SignalMultipleDeviceEvents = 2,
  SignalDeviceEvent = 3,
  DeleteDeviceEvent = 4,
};

// StreamRequestComplete takes the request as its third argument.
void StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                   HW_STREAM_OBJECT* streamObject, ...);
// DeviceRequestComplete takes the request; SignalMultipleDeviceEvents the
// event set GUID and event id.
void StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                   PVOID hwDeviceExtension, ...);

// ---- Master clock ----------------------------------------------------------------
enum TIME_FUNCTION { TIME_GET_STREAM_TIME = 0, TIME_READ_ONBOARD_CLOCK = 1, TIME_SET_ONBOARD_CLOCK = 2 };

struct HW_TIME_CONTEXT {
  PVOID HwDeviceExtension;
  HW_STREAM_OBJECT* HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;        // out: stream time, 100 ns units
  ULONGLONG SystemTime;  // out: system time of the reading
};

void StreamClassQueryMasterClockSync(HANDLE masterClockHandle, HW_TIME_CONTEXT* timeContext);

// ---- Kernel-streaming properties ------------------------------------------------
// The identifier every property request starts with: the set, the property
// in it and the request kind.
struct KSPROPERTY {
  GUID Set;
  ULONG Id;
  ULONG Flags;
};
static_assert(sizeof(KSPROPERTY) == 24);

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;

// What a device property request (SRB_GET/SET_DEVICE_PROPERTY) carries in
// CommandData.PropertyInfo: the identifier, the index of its set in the
// advertised table, and the caller's data buffer, which a get fills and a
// set reads.
struct STREAM_PROPERTY_DESCRIPTOR {
  KSPROPERTY* Property;
  ULONG PropertySetID;
  PVOID PropertyInfo;
  ULONG PropertyInputSize;
  ULONG PropertyOutputSize;
};

// Ranges, steps and defaults of an advertised property.
constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};

struct KSPROPERTY_BOUNDS_LONG {
  LONG SignedMinimum;
  LONG SignedMaximum;
};

struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};

struct KSPROPERTY_MEMBERSLIST {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const void* Members;
};

// The value type (a KSIDENTIFIER list) and the member lists.
struct KSPROPERTY_VALUES {
  ULONG PropTypeSetCount;
  const KSPROPERTY* PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
};

// One advertised property. The host records say whether get and set are
// served where the platform's may hold handler routines instead.
struct KSPROPERTY_ITEM {
  ULONG PropertyId;
  BOOLEAN GetSupported;
  ULONG MinProperty;
  ULONG MinData;
  BOOLEAN SetSupported;
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PVOID SupportHandler;
  ULONG SerializedSize;
};

struct KSPROPERTY_SET {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const void* FastIoTable;
};

// The video capture property sets and the records of their values.
constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr GUID PROPSETID_VIDCAP_VIDEOCOMPRESSION = {
    0xC6E13343, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL = {
    0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG VT_I4 = 3;

enum KSPROPERTY_VIDCAP_VIDEOPROCAMP : ULONG {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
  KSPROPERTY_VIDEOPROCAMP_HUE = 2,
  KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
  KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
};
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

struct KSPROPERTY_VIDEOPROCAMP_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
  ULONG Reserved;  // the platform's record is padded to 8 bytes
};
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

enum KSPROPERTY_VIDCAP_VIDEOCOMPRESSION : ULONG {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO = 0,
  KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE = 1,
  KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME = 2,
  KSPROPERTY_VIDEOCOMPRESSION_QUALITY = 3,
};
constexpr LONG KS_CompressionCaps_CanQuality = 1;

struct KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);

struct KSPROPERTY_VIDEOCOMPRESSION_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);
