// The USB bus driver's interface: descriptors, pipe and interface information,
// USB request blocks (URBs), their status codes, the configuration helpers and
// the internal device controls that carry them.
#pragma once

#include "platform/io.h"

// ---- Descriptors (wire layout) ---------------------------------------------
#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 3;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 1;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 2;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 3;

// ---- Status -----------------------------------------------------------------
using USBD_STATUS = LONG;
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = NtStatus(0xC0000001);
constexpr USBD_STATUS USBD_STATUS_BTSTUFF = NtStatus(0xC0000002);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = NtStatus(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = NtStatus(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = NtStatus(0xC0000008);
constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = NtStatus(0xC0000009);
constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = NtStatus(0xC000000C);
constexpr USBD_STATUS USBD_STATUS_NOT_ACCESSED = NtStatus(0xC000000F);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = NtStatus(0xC0020000);
constexpr USBD_STATUS USBD_STATUS_ISOCH_REQUEST_FAILED = NtStatus(0xC0000B00);
constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = NtStatus(0xC0000030);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = NtStatus(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = NtStatus(0x80000300);
constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = NtStatus(0x80000400);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = NtStatus(0x80000600);
constexpr USBD_STATUS USBD_STATUS_BAD_START_FRAME = NtStatus(0xC0000A00);
constexpr USBD_STATUS USBD_STATUS_NOT_SUPPORTED = NtStatus(0xC0000E00);
constexpr USBD_STATUS USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR = NtStatus(0xC0000F00);
constexpr USBD_STATUS USBD_STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC0001000);
constexpr USBD_STATUS USBD_STATUS_SET_CONFIG_FAILED = NtStatus(0xC0002000);
constexpr USBD_STATUS USBD_STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0003000);
constexpr USBD_STATUS USBD_STATUS_INTERFACE_NOT_FOUND = NtStatus(0xC0004000);
constexpr USBD_STATUS USBD_STATUS_TIMEOUT = NtStatus(0xC0006000);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = NtStatus(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = NtStatus(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_LATE = NtStatus(0xC0050000);

constexpr bool USBD_SUCCESS(USBD_STATUS status) { return status >= 0; }
constexpr bool USBD_PENDING(USBD_STATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 1;
}
constexpr bool USBD_ERROR(USBD_STATUS status) { return status < 0; }

// ---- Pipes and interfaces ---------------------------------------------------
using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3,
};

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;  // set by the caller before selection
  ULONG PipeFlags;
};

// Variable length: Length covers the header and NumberOfPipes pipe records.
struct USBD_INTERFACE_INFORMATION {
  USHORT Length;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};

constexpr USHORT GET_USBD_INTERFACE_SIZE(ULONG numberOfPipes) {
  return static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                             (numberOfPipes > 0 ? numberOfPipes - 1 : 0) *
                                 sizeof(USBD_PIPE_INFORMATION));
}

struct USBD_ISO_PACKET_DESCRIPTOR {
  ULONG Offset;  // in the transfer buffer; set by the caller
  ULONG Length;  // bytes received; set by the bus driver
  USBD_STATUS Status;
};

// ---- URBs -------------------------------------------------------------------
constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;

constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 4;

// An isochronous transfer with an explicit StartFrame must start within this
// many frames after the current one; a full-speed transfer has at most
// USBD_MAX_ISO_PACKETS packets (one per 1 ms frame).
constexpr ULONG USBD_ISO_START_FRAME_RANGE = 1024;
constexpr ULONG USBD_MAX_ISO_PACKETS = 255;

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;  // null = unconfigure
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;  // first of the interfaces, back to back
};

struct _URB_SELECT_INTERFACE {
  _URB_HEADER Hdr;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  PVOID UrbLink;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  PVOID UrbLink;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  PVOID UrbLink;
};

struct _URB_ISOCH_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  PVOID UrbLink;
  ULONG StartFrame;  // the first frame; set by the bus driver with ..._ASAP
  ULONG NumberOfPackets;
  ULONG ErrorCount;  // packets that failed; set by the bus driver
  USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_INTERFACE UrbSelectInterface;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_PIPE_REQUEST UrbPipeRequest;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
};

constexpr ULONG GET_ISO_URB_SIZE(ULONG numberOfPackets) {
  return static_cast<ULONG>(sizeof(_URB_ISOCH_TRANSFER) +
                            (numberOfPackets > 0 ? numberOfPackets - 1 : 0) *
                                sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

constexpr ULONG GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG numberOfPipes) {
  return static_cast<ULONG>(sizeof(_URB_SELECT_INTERFACE) +
                            (numberOfPipes > 0 ? numberOfPipes - 1 : 0) *
                                sizeof(USBD_PIPE_INFORMATION));
}

// The record sizes the driver's fixed allocations rely on (a 480-byte
// isochronous request of 32 packets, 80-byte control requests, 24-byte pipe
// requests) hold on this platform too.
static_assert(GET_ISO_URB_SIZE(32) <= 480);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) <= 80);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) <= 80);
static_assert(sizeof(_URB_PIPE_REQUEST) <= 40);

inline void UsbBuildGetDescriptorRequest(URB* urb, USHORT length, UCHAR descriptorType,
                                         UCHAR index, USHORT languageId, PVOID transferBuffer,
                                         PVOID transferBufferMdl, ULONG transferBufferLength,
                                         URB* link) {
  _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.Hdr.Length = length;
  r.TransferBufferLength = transferBufferLength;
  r.TransferBufferMDL = transferBufferMdl;
  r.TransferBuffer = transferBuffer;
  r.DescriptorType = descriptorType;
  r.Index = index;
  r.LanguageId = languageId;
  r.UrbLink = link;
}

// ---- Configuration helpers ---------------------------------------------------
struct USBD_INTERFACE_LIST_ENTRY {
  USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor;
  USBD_INTERFACE_INFORMATION* Interface;  // filled by the request builder
};

// The first interface descriptor at or after startPosition that matches every
// criterion that is not -1; null when none does (or the descriptor is malformed).
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol);

// Builds a select-configuration URB (pool allocation, freed with ExFreePool)
// with one interface record per list entry, each entry's Interface pointing at
// its record. Null when no memory is left.
URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* interfaceList);

// ---- Internal device controls of the bus driver ------------------------------
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220017;

constexpr ULONG USBD_PORT_ENABLED = 0x1;
constexpr ULONG USBD_PORT_CONNECTED = 0x2;
