#include "classlayer/device_events.h"

NTSTATUS EventEnable(HW_EVENT_DESCRIPTOR* eventDescriptor) {
  auto* device = static_cast<ClassDevice*>(eventDescriptor->DeviceExtension);
  if (eventDescriptor->Enable) {
    InterlockedIncrement(&device->EventEnableCount);
  } else {
    InterlockedDecrement(&device->EventEnableCount);
  }
  return STATUS_SUCCESS;
}

void SignalSnapshotEvent(ClassDevice* device) {
  if (device->EventEnableCount == 0) return;
  StreamClassDeviceNotification(SignalMultipleDeviceEvents, device, &kSnapshotEventSet,
                                kSnapshotEventId);
}
