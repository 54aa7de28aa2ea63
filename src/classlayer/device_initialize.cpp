// Device initialisation and its undoing: uninitialisation (deferred to the
// close of the last open stream) and surprise removal.
#include "classlayer/callback_calls.h"
#include "classlayer/device.h"
#include "classlayer/streams.h"
#include "classlayer/usbconfig.h"

namespace {

void Lock(ClassDevice* device) {
  KeWaitForSingleObject(&device->ChannelLock, Executive, KernelMode, FALSE, nullptr);
}

void Unlock(ClassDevice* device) {
  KeReleaseSemaphore(&device->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
}

void RecordDeviceObjects(ClassDevice* device, const PORT_CONFIGURATION_INFORMATION* config) {
  device->BusDeviceObject = config->PhysicalDeviceObject;
  device->ClassDeviceObject = config->ClassDeviceObject;
  device->LowerDeviceObject = config->RealPhysicalDeviceObject != nullptr
                                  ? config->RealPhysicalDeviceObject
                                  : config->PhysicalDeviceObject;
  device->Tag = kClassDeviceTag;
}

void PrepareRequestState(ClassDevice* device) {
  for (LIST_ENTRY& list : device->ControlWaitList) InitializeListHead(&list);
  device->ControlBusy[0] = device->ControlBusy[1] = 0;
  KeInitializeSpinLock(&device->ControlLock);
  KeInitializeSpinLock(&device->CompletionLock);
  KeInitializeSpinLock(&device->PipeTableLock);
  device->Removed = 0;
  device->EventEnableCount = 0;
  device->OpenCount[0] = device->OpenCount[1] = 0;
  device->ResetCount[0] = device->ResetCount[1] = -1;
  device->PipeControlsInFlight = 0;
}

// A failed start is never uninitialised by the port: give back the
// configuration copies, and let the device layer free what Configure took.
void ReleaseFailedStart(ClassDevice* device) {
  CallUnInitialize(device);
  ReleaseDeviceConfiguration(device);
}

void StopStreamingChannels(ClassDevice* device) {
  for (Channel* channel : device->Channel) {
    if (channel != nullptr && channel->Streaming) StopStreaming(device, channel);
  }
}

}  // namespace

NTSTATUS InitializeDevice(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb,
                          const BasicCallbackTable* basicTable) {
  auto* config = static_cast<PORT_CONFIGURATION_INFORMATION*>(srb->CommandData.ConfigInfo);
  if (config->NumberOfAccessRanges != 0) return STATUS_NO_SUCH_DEVICE;
  config->ClassDeviceObject->Flags |= DO_DIRECT_IO;
  config->ClassDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  RecordDeviceObjects(device, config);
  AdoptBasicCallbackTable(device, basicTable);
  device->NumberOfStreams = 1;
  device->Channel[0] = device->Channel[1] = nullptr;
  device->PowerState = PowerDeviceD0;
  device->DeviceState = kDeviceInitialising;

  const NTSTATUS status = ConfigureDevice(device);
  if (!NT_SUCCESS(status)) {
    ReleaseFailedStart(device);
    return status;
  }
  config->StreamDescriptorSize = static_cast<ULONG>(
      device->NumberOfStreams * sizeof(HW_STREAM_INFORMATION) + sizeof(HW_STREAM_HEADER));
  PrepareRequestState(device);
  device->DeviceState = kDeviceStarted;
  return STATUS_SUCCESS;
}

NTSTATUS UninitializeDevice(ClassDevice* device) {
  if (device->Tag != kClassDeviceTag) return STATUS_SUCCESS;  // never initialised
  StopStreamingChannels(device);
  Lock(device);
  device->DeviceState = kDeviceRemoved;
  const bool streamOpen = device->OpenCount[0] != 0 || device->OpenCount[1] != 0;
  Unlock(device);
  return streamOpen ? STATUS_SUCCESS : FinishUninitialize(device);
}

NTSTATUS FinishUninitialize(ClassDevice* device) {
  WaitForValue(&device->PipeControlsInFlight, 0);
  Lock(device);
  NTSTATUS status = STATUS_SUCCESS;
  // The descriptor copy lives from a successful start to this release.
  if (device->DeviceDescriptor != nullptr) {
    status = CallUnInitialize(device);
    ReleaseDeviceConfiguration(device);
  }
  Unlock(device);
  return status;
}

NTSTATUS SurpriseRemoval(ClassDevice* device) {
  device->Removed = 1;
  StopStreamingChannels(device);
  return STATUS_SUCCESS;
}
