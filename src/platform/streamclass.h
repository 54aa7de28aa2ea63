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
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

// A data range has the layout of a data format; its FormatSize covers the
// format-specific part that follows.
using KSDATARANGE = KSDATAFORMAT;

struct SIZE {
  LONG cx;
  LONG cy;
};

struct KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  ULONG Padding;  // the alignment gap before the frame intervals, named so it is always zero
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
};

struct KS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  ULONG bFixedSizeSamples;
  ULONG bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
};

static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);

constexpr ULONG KS_VIDEOSTREAM_CAPTURE = 0x0002;
constexpr ULONG KS_VIDEOSTREAM_STILL = 0x1000;

// Published GUIDs of the formats, pins and sets the driver describes.
constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID MEDIASUBTYPE_RGB24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID PINNAME_VIDEO_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
constexpr GUID PINNAME_VIDEO_STILL = {
    0xFB6C428A, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
constexpr GUID KSCATEGORY_VIDEO = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID KSMEDIUMSETID_Standard = {
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID KSPROPSETID_Connection = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES = {
    0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

// The media subtype of a FOURCC: its four bytes, then 0000-0010-8000-00AA00389B71.
constexpr GUID FourccSubtype(ULONG fourcc) {
  return {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

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

// ---- Stream information ------------------------------------------------------------
enum KSPIN_DATAFLOW : ULONG { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };

struct KSPROPERTY_ITEM;
struct KSPROPERTY_SET {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const PVOID* FastIoTable;
};

// One property of a set as the port's property handling sees it.
struct KSPROPERTY_ITEM {
  ULONG PropertyId;
  BOOLEAN GetSupported;  // a stream-class minidriver answers reads itself
  ULONG MinProperty;     // bytes of the property request
  ULONG MinData;         // bytes of its value
  BOOLEAN SetSupported;
  const PVOID Values;
  ULONG RelationsCount;
  const PVOID Relations;
  PVOID SupportHandler;
  ULONG SerializedSize;
};

struct KSEVENT_ITEM {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PVOID AddHandler;
  PVOID RemoveHandler;
  PVOID SupportHandler;
};

struct KSEVENT_SET {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
};

struct KSPIN_MEDIUM {
  GUID Set;
  ULONG Id;
  ULONG Flags;
};

struct KSTOPOLOGY {
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG TopologyNodesCount;
  const GUID* TopologyNodes;
  ULONG TopologyConnectionsCount;
  const PVOID TopologyConnections;
  const GUID* TopologyNodesNames;
  ULONG Reserved;
};

// A client enabling or disabling an event of the device (or of a stream).
struct HW_EVENT_DESCRIPTOR {
  BOOLEAN Enable;
  PVOID EventEntry;
  PVOID EventData;
  union {
    HW_STREAM_OBJECT* StreamObject;
    PVOID DeviceExtension;
  };
  ULONG EnableEventSetIndex;
  PVOID HwInstanceExtension;
  ULONG Reserved;
};
using PHW_EVENT_ROUTINE = NTSTATUS (*)(HW_EVENT_DESCRIPTOR* eventDescriptor);

struct HW_STREAM_INFORMATION {
  ULONG NumberOfPossibleInstances;
  KSPIN_DATAFLOW DataFlow;
  BOOLEAN DataAccessible;
  ULONG NumberOfFormatArrayEntries;
  const KSDATAFORMAT* const* StreamFormatsArray;
  PVOID ClassReserved[4];
  ULONG NumStreamPropArrayEntries;
  const KSPROPERTY_SET* StreamPropertiesArray;
  ULONG NumStreamEventArrayEntries;
  const KSEVENT_SET* StreamEventsArray;
  const GUID* Category;
  const GUID* Name;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  BOOLEAN BridgeStream;
  ULONG Reserved[2];
};

struct HW_STREAM_HEADER {
  ULONG NumberOfStreams;
  ULONG SizeOfHwStreamInformation;
  ULONG NumDevPropArrayEntries;
  const KSPROPERTY_SET* DevicePropertiesArray;
  ULONG NumDevEventArrayEntries;
  const KSEVENT_SET* DeviceEventsArray;
  const KSTOPOLOGY* Topology;
  PHW_EVENT_ROUTINE DeviceEventRoutine;
  ULONG Reserved[2];
};

// SRB_GET_STREAM_INFO's buffer: the header, then one record per stream.
struct HW_STREAM_DESCRIPTOR {
  HW_STREAM_HEADER StreamHeader;
  HW_STREAM_INFORMATION StreamInfo[1];
};

// SRB_GET_DATA_INTERSECTION's question: a client's range for a stream and the
// buffer the chosen format goes to.
struct STREAM_DATA_INTERSECT_INFO {
  ULONG StreamNumber;
  KSDATARANGE* DataRange;
  PVOID DataFormatBuffer;
  ULONG SizeOfDataFormatBuffer;
};

// ---- Device start and registration ---------------------------------------------------
struct PORT_CONFIGURATION_INFORMATION {
  ULONG SizeOfThisPacket;
  PVOID HwDeviceExtension;
  DEVICE_OBJECT* ClassDeviceObject;     // the port's functional device object
  DEVICE_OBJECT* PhysicalDeviceObject;  // the bus's device object for the camera
  ULONG SystemIoBusNumber;
  ULONG NumberOfAccessRanges;
  PVOID AccessRanges;
  ULONG StreamDescriptorSize;  // set by the minidriver during initialisation
  IRP* Irp;                    // the start request
  DEVICE_OBJECT* RealPhysicalDeviceObject;
  ULONG Reserved[1];
};

using PHW_RECEIVE_DEVICE_SRB = void (*)(HW_STREAM_REQUEST_BLOCK* srb);
using PHW_CANCEL_SRB = void (*)(HW_STREAM_REQUEST_BLOCK* srb);
using PHW_REQUEST_TIMEOUT_HANDLER = void (*)(HW_STREAM_REQUEST_BLOCK* srb);
using PHW_INTERRUPT = BOOLEAN (*)(PVOID deviceExtension);

struct HW_INITIALIZATION_DATA {
  ULONG HwInitializationDataSize;
  PHW_INTERRUPT HwInterrupt;
  PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
  PHW_CANCEL_SRB HwCancelPacket;
  PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
  ULONG DeviceExtensionSize;
  ULONG PerRequestExtensionSize;
  ULONG PerStreamExtensionSize;
  ULONG FilterInstanceExtensionSize;
  BOOLEAN BusMasterDMA;
  BOOLEAN Dma24BitAddresses;
  ULONG BufferAlignment;
  BOOLEAN TurnOffSynchronization;
  ULONG DmaBufferSize;
  ULONG NumNameExtensions;
  WCHAR** NameExtensionArray;
};

// Called from the minidriver's driver entry; the port keeps a copy of the
// record and answers devices of this driver with it from then on.
NTSTATUS StreamClassRegisterAdapter(PVOID argument1, PVOID argument2,
                                    HW_INITIALIZATION_DATA* hwInitializationData);

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
enum TIME_FUNCTION {
  TIME_GET_STREAM_TIME = 0,
  TIME_READ_ONBOARD_CLOCK = 1,
  TIME_SET_ONBOARD_CLOCK = 2
};

struct HW_TIME_CONTEXT {
  PVOID HwDeviceExtension;
  HW_STREAM_OBJECT* HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;        // out: stream time, 100 ns units
  ULONGLONG SystemTime;  // out: system time of the reading
};

void StreamClassQueryMasterClockSync(HANDLE masterClockHandle, HW_TIME_CONTEXT* timeContext);
