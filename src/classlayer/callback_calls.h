// How the class layer calls the device layer: through the extended table when
// one of version 0x200 was installed, otherwise through the basic table the
// device layer hands over with its device requests. A missing entry is
// answered as the class layer would answer for a device without that step.
#pragma once

#include "classlayer/device.h"

// Makes the basic table the one in force, unless an extended table is installed.
void AdoptBasicCallbackTable(ClassDevice* device, const BasicCallbackTable* table);
bool HasExtendedCallbackTable(const ClassDevice* device);

NTSTATUS CallInitialize(ClassDevice* device);
NTSTATUS CallUnInitialize(ClassDevice* device);
ULONG CallProcessPacket(ClassDevice* device, PVOID currentFrameContext,
                        USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                        USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer,
                        UCHAR* frameComplete, ULONG* packetFlags, ULONG* validDataOffset);

// ProcessPacket looked up once for a whole transfer: the walk calls it for
// every packet, and the per-call table lookup was a fifth of the walk's cost.
struct PacketCallback {
  ClassDevice* device;
  ProcessPacketCallback extended;  // null: the basic form, through CallProcessPacket

  ULONG Call(PVOID currentFrameContext, USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
             USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer, UCHAR* frameComplete,
             ULONG* packetFlags, ULONG* validDataOffset) const {
    if (extended == nullptr) {
      return CallProcessPacket(device, currentFrameContext, syncPacket, syncBuffer, dataPacket,
                               dataBuffer, frameComplete, packetFlags, validDataOffset);
    }
    return extended(device->BusDeviceObject, DeviceContextOf(device), currentFrameContext,
                    syncPacket, syncBuffer, dataPacket, dataBuffer, frameComplete, packetFlags,
                    validDataOffset);
  }
};
PacketCallback ResolveProcessPacket(ClassDevice* device);
void CallNewFrame(ClassDevice* device, PVOID frameContext, ULONG streamNumber, ULONG* frameLength);
NTSTATUS CallProcessRawFrame(ClassDevice* device, PVOID frameContext, PVOID frameBuffer,
                             ULONG frameLength, PVOID rawFrameBuffer, ULONG rawFrameLength,
                             ULONG numberOfPackets, ULONG* bytesReturned,
                             ULONG actualRawFrameLength, ULONG streamNumber);
NTSTATUS CallStartCapture(ClassDevice* device, ULONG streamNumber);
NTSTATUS CallStopCapture(ClassDevice* device, ULONG streamNumber);
NTSTATUS CallSaveState(ClassDevice* device);
NTSTATUS CallRestoreState(ClassDevice* device);
NTSTATUS CallAllocateBandwidth(ClassDevice* device, ULONG* rawFrameLength, KSDATAFORMAT* format,
                               ULONG streamNumber);
NTSTATUS CallFreeBandwidth(ClassDevice* device, ULONG streamNumber);
// Extended form: the device layer describes every pipe in pipeConfig.
NTSTATUS CallConfigure(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo,
                       USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, ULONG numberOfPipes,
                       USHORT* pipeConfig);
// Basic form: the device layer names the data and sync pipes itself.
NTSTATUS CallBasicConfigure(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo,
                            USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                            LONG* dataPipeIndex, LONG* syncPipeIndex);
