#include "classlayer/callback_calls.h"

void AdoptBasicCallbackTable(ClassDevice* device, const BasicCallbackTable* table) {
  if (HasExtendedCallbackTable(device) || table == nullptr) return;
  device->CallbackTable.Basic = *table;
}

bool HasExtendedCallbackTable(const ClassDevice* device) {
  return device->Version == kCallbackTableVersion;
}

namespace {

PVOID Context(ClassDevice* device) {
  return DeviceContextOf(device);
}

}  // namespace

NTSTATUS CallInitialize(ClassDevice* device) {
  InitializeCallback f = device->CallbackTable.Extended.Initialize;  // same slot in both forms
  return f != nullptr ? f(device->BusDeviceObject, Context(device)) : STATUS_SUCCESS;
}

NTSTATUS CallUnInitialize(ClassDevice* device) {
  UnInitializeCallback f = device->CallbackTable.Extended.UnInitialize;
  return f != nullptr ? f(device->BusDeviceObject, Context(device)) : STATUS_SUCCESS;
}

PacketCallback ResolveProcessPacket(ClassDevice* device) {
  return {device, HasExtendedCallbackTable(device) ? device->CallbackTable.Extended.ProcessPacket
                                                   : nullptr};
}

ULONG CallProcessPacket(ClassDevice* device, PVOID currentFrameContext,
                        USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                        USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer,
                        UCHAR* frameComplete, ULONG* packetFlags, ULONG* validDataOffset) {
  if (HasExtendedCallbackTable(device)) {
    ProcessPacketCallback f = device->CallbackTable.Extended.ProcessPacket;
    if (f == nullptr) return 0;
    return f(device->BusDeviceObject, Context(device), currentFrameContext, syncPacket, syncBuffer,
             dataPacket, dataBuffer, frameComplete, packetFlags, validDataOffset);
  }
  BasicProcessPacketCallback f = device->CallbackTable.Basic.ProcessPacket;
  if (f == nullptr) return 0;
  UCHAR nextFrameIsStill = 0;
  ULONG n = f(device->BusDeviceObject, Context(device), currentFrameContext, syncPacket, syncBuffer,
              dataPacket, dataBuffer, frameComplete, &nextFrameIsStill);
  // The basic form can only say that the next frame is a still frame.
  if (nextFrameIsStill) *packetFlags |= kPacketStillFrame;
  *validDataOffset = 0;
  return n;
}

void CallNewFrame(ClassDevice* device, PVOID frameContext, ULONG streamNumber, ULONG* frameLength) {
  if (HasExtendedCallbackTable(device)) {
    if (NewFrameCallback f = device->CallbackTable.Extended.NewFrame) {
      f(Context(device), frameContext, streamNumber, frameLength);
    }
  } else if (BasicNewFrameCallback f = device->CallbackTable.Basic.NewFrame) {
    f(Context(device), frameContext);
  }
}

NTSTATUS CallProcessRawFrame(ClassDevice* device, PVOID frameContext, PVOID frameBuffer,
                             ULONG frameLength, PVOID rawFrameBuffer, ULONG rawFrameLength,
                             ULONG numberOfPackets, ULONG* bytesReturned,
                             ULONG actualRawFrameLength, ULONG streamNumber) {
  if (HasExtendedCallbackTable(device)) {
    ProcessRawFrameCallback f = device->CallbackTable.Extended.ProcessRawFrame;
    if (f == nullptr) return STATUS_SUCCESS;
    return f(device->BusDeviceObject, Context(device), frameContext, frameBuffer, frameLength,
             rawFrameBuffer, rawFrameLength, numberOfPackets, bytesReturned, actualRawFrameLength,
             streamNumber);
  }
  BasicProcessRawFrameCallback f = device->CallbackTable.Basic.ProcessRawFrame;
  if (f == nullptr) return STATUS_SUCCESS;
  return f(device->BusDeviceObject, Context(device), frameContext, frameBuffer, frameLength,
           rawFrameBuffer, rawFrameLength, numberOfPackets, bytesReturned);
}

namespace {

template <typename Extended, typename Basic>
NTSTATUS CallStreamStep(ClassDevice* device, Extended extended, Basic basic, ULONG streamNumber) {
  if (HasExtendedCallbackTable(device)) {
    return extended != nullptr ? extended(device->BusDeviceObject, Context(device), streamNumber)
                               : STATUS_SUCCESS;
  }
  return basic != nullptr ? basic(device->BusDeviceObject, Context(device)) : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CallStartCapture(ClassDevice* device, ULONG streamNumber) {
  return CallStreamStep(device, device->CallbackTable.Extended.StartCapture,
                        device->CallbackTable.Basic.StartCapture, streamNumber);
}

NTSTATUS CallStopCapture(ClassDevice* device, ULONG streamNumber) {
  return CallStreamStep(device, device->CallbackTable.Extended.StopCapture,
                        device->CallbackTable.Basic.StopCapture, streamNumber);
}

NTSTATUS CallFreeBandwidth(ClassDevice* device, ULONG streamNumber) {
  return CallStreamStep(device, device->CallbackTable.Extended.FreeBandwidth,
                        device->CallbackTable.Basic.FreeBandwidth, streamNumber);
}

NTSTATUS CallSaveState(ClassDevice* device) {
  SaveStateCallback f = device->CallbackTable.Extended.SaveState;
  return f != nullptr ? f(device->BusDeviceObject, Context(device)) : STATUS_SUCCESS;
}

NTSTATUS CallRestoreState(ClassDevice* device) {
  RestoreStateCallback f = device->CallbackTable.Extended.RestoreState;
  return f != nullptr ? f(device->BusDeviceObject, Context(device)) : STATUS_SUCCESS;
}

NTSTATUS CallAllocateBandwidth(ClassDevice* device, ULONG* rawFrameLength, KSDATAFORMAT* format,
                               ULONG streamNumber) {
  if (HasExtendedCallbackTable(device)) {
    AllocateBandwidthCallback f = device->CallbackTable.Extended.AllocateBandwidth;
    return f != nullptr
               ? f(device->BusDeviceObject, Context(device), rawFrameLength, format, streamNumber)
               : STATUS_NOT_IMPLEMENTED;
  }
  BasicAllocateBandwidthCallback f = device->CallbackTable.Basic.AllocateBandwidth;
  return f != nullptr ? f(device->BusDeviceObject, Context(device), rawFrameLength, format)
                      : STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CallConfigure(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo,
                       USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, ULONG numberOfPipes,
                       USHORT* pipeConfig) {
  ConfigureCallback f = device->CallbackTable.Extended.Configure;
  if (f == nullptr) return STATUS_NOT_IMPLEMENTED;
  return f(device->BusDeviceObject, Context(device), interfaceInfo, configurationDescriptor,
           numberOfPipes, pipeConfig, device->DeviceDescriptor);
}

NTSTATUS CallBasicConfigure(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo,
                            USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                            LONG* dataPipeIndex, LONG* syncPipeIndex) {
  BasicConfigureCallback f = device->CallbackTable.Basic.Configure;
  if (f == nullptr) return STATUS_NOT_IMPLEMENTED;
  return f(device->BusDeviceObject, Context(device), interfaceInfo, configurationDescriptor,
           dataPipeIndex, syncPipeIndex);
}
