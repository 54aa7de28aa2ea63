#include "classlayer/device_events.h"

void SignalSnapshotEvent(ClassDevice* device) {
  if (device->EventEnableCount == 0) return;
  StreamClassDeviceNotification(SignalMultipleDeviceEvents, device, &kSnapshotEventSet,
                                kSnapshotEventId);
}
