// The contract between the generic class layer and the device layer: a table
// of twelve callbacks behind one reserved word, a version and control flags.
// The class layer knows the device layer's record only as an opaque pointer.
#pragma once

#include "platform/usb.h"

struct KSDATAFORMAT;  // the stream's data format, from the stream-class port

// Only an extended table of this version is accepted.
constexpr ULONG kCallbackTableVersion = 0x200;

// ControlFlags bits.
constexpr ULONG kNoRawProcessingStream0 = 0x01;  // bit n: stream n gets the raw buffer
constexpr ULONG kNoRawProcessingStream1 = 0x02;
constexpr ULONG kStillFormatFollowsVideo = 0x04;  // stream 1 only with stream 0's format
constexpr ULONG kDeviceEvents = 0x08;             // announce and signal the snapshot event

// ProcessPacket's PacketFlags.
constexpr ULONG kPacketDropFrame = 0x02;   // throw the frame away, reuse its request
constexpr ULONG kPacketStillFrame = 0x04;  // the frame that starts belongs to stream 1
constexpr ULONG kPacketSnapshot = 0x08;    // also deliver the frame to stream 1, signal

// Configure's pipe words: low byte stream association, high byte role.
constexpr USHORT kPipeVideo = 0x01;
constexpr USHORT kPipeStill = 0x02;
constexpr USHORT kPipeRoleData = 0x0100;
constexpr USHORT kPipeRoleMultiplexed = 0x0200;
constexpr USHORT kPipeRoleSync = 0x0400;
constexpr USHORT kPipeRoleIgnore = 0x0800;

// ---- Extended form (version 0x200) -----------------------------------------
using InitializeCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext);
using UnInitializeCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext);
// Returns n: the class layer appends n - 1 bytes from one byte after
// DataBuffer + ValidDataOffset; 0 = nothing to append.
using ProcessPacketCallback = ULONG (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                        PVOID currentFrameContext,
                                        USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                                        USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer,
                                        UCHAR* frameComplete, ULONG* packetFlags,
                                        ULONG* validDataOffset);
using NewFrameCallback = void (*)(PVOID deviceContext, PVOID frameContext, ULONG streamNumber,
                                  ULONG* frameLength);
using ProcessRawFrameCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                             PVOID frameContext, PVOID frameBuffer,
                                             ULONG frameLength, PVOID rawFrameBuffer,
                                             ULONG rawFrameLength, ULONG numberOfPackets,
                                             ULONG* bytesReturned, ULONG actualRawFrameLength,
                                             ULONG streamNumber);
using StartCaptureCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                          ULONG streamNumber);
using StopCaptureCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                         ULONG streamNumber);
using ConfigureCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                       USBD_INTERFACE_INFORMATION* interfaceInfo,
                                       USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                       ULONG numberOfPipes, USHORT* pipeConfig,
                                       USB_DEVICE_DESCRIPTOR* deviceDescriptor);
using SaveStateCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext);
using RestoreStateCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext);
using AllocateBandwidthCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                               ULONG* rawFrameLength, KSDATAFORMAT* format,
                                               ULONG streamNumber);
using FreeBandwidthCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                           ULONG streamNumber);

struct DeviceCallbackTable {
  ULONG_PTR Reserved;  // always 0
  InitializeCallback Initialize;
  UnInitializeCallback UnInitialize;
  ProcessPacketCallback ProcessPacket;
  NewFrameCallback NewFrame;
  ProcessRawFrameCallback ProcessRawFrame;
  StartCaptureCallback StartCapture;
  StopCaptureCallback StopCapture;
  ConfigureCallback Configure;
  SaveStateCallback SaveState;
  RestoreStateCallback RestoreState;
  AllocateBandwidthCallback AllocateBandwidth;
  FreeBandwidthCallback FreeBandwidth;
};

// ---- Basic form (in force when no extended table was installed) ------------
using BasicProcessPacketCallback = ULONG (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                             PVOID currentFrameContext,
                                             USBD_ISO_PACKET_DESCRIPTOR* syncPacket,
                                             UCHAR* syncBuffer,
                                             USBD_ISO_PACKET_DESCRIPTOR* dataPacket,
                                             UCHAR* dataBuffer, UCHAR* frameComplete,
                                             UCHAR* nextFrameIsStill);
using BasicNewFrameCallback = void (*)(PVOID deviceContext, PVOID frameContext);
using BasicProcessRawFrameCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                                  PVOID frameContext, PVOID frameBuffer,
                                                  ULONG frameLength, PVOID rawFrameBuffer,
                                                  ULONG rawFrameLength, ULONG numberOfPackets,
                                                  ULONG* bytesReturned);
using BasicStreamCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext);
using BasicConfigureCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                            USBD_INTERFACE_INFORMATION* interfaceInfo,
                                            USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                            LONG* dataPipeIndex, LONG* syncPipeIndex);
using BasicAllocateBandwidthCallback = NTSTATUS (*)(DEVICE_OBJECT* bus, PVOID deviceContext,
                                                    ULONG* rawFrameLength, KSDATAFORMAT* format);

struct BasicCallbackTable {
  ULONG_PTR Reserved;
  InitializeCallback Initialize;
  UnInitializeCallback UnInitialize;
  BasicProcessPacketCallback ProcessPacket;
  BasicNewFrameCallback NewFrame;
  BasicProcessRawFrameCallback ProcessRawFrame;
  BasicStreamCallback StartCapture;
  BasicStreamCallback StopCapture;
  BasicConfigureCallback Configure;
  SaveStateCallback SaveState;
  RestoreStateCallback RestoreState;
  BasicAllocateBandwidthCallback AllocateBandwidth;
  BasicStreamCallback FreeBandwidth;
};

static_assert(sizeof(DeviceCallbackTable) == 13 * sizeof(void*));
static_assert(sizeof(BasicCallbackTable) == sizeof(DeviceCallbackTable));
