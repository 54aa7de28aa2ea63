// The class layer's dispatcher for device requests, behind the device
// layer's request filter.
#include "classlayer/device.h"
#include "classlayer/device_layer_services.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"

namespace {

NTSTATUS HandleDeviceRequest(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb,
                             const BasicCallbackTable* basicTable) {
  switch (srb->Command) {
    case SRB_GET_STREAM_INFO:
      return GetStreamInformation(device, srb);
    case SRB_OPEN_STREAM:
      return OpenStream(srb);
    case SRB_CLOSE_STREAM:
      return CloseStream(srb);
    case SRB_INITIALIZE_DEVICE:
      return InitializeDevice(device, srb, basicTable);
    case SRB_CHANGE_POWER_STATE:
      return ChangePowerState(srb);
    case SRB_UNINITIALIZE_DEVICE:
      return UninitializeDevice(device);
    case SRB_UNKNOWN_DEVICE_COMMAND:
      return ReceiveUnknownDeviceCommand(device, srb);
    case SRB_PAGING_OUT_DRIVER:
      return STATUS_SUCCESS;
    case SRB_SURPRISE_REMOVAL:
      return SurpriseRemoval(device);
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

}  // namespace

PVOID ClassReceiveDevicePacket(HW_STREAM_REQUEST_BLOCK* srb, const BasicCallbackTable* basicTable,
                               DEVICE_OBJECT** busDeviceObject, UCHAR dispatch) {
  auto* device = static_cast<ClassDevice*>(srb->HwDeviceExtension);
  if (busDeviceObject != nullptr) {
    // Before initialisation the bus device object is only in the request.
    *busDeviceObject =
        srb->Command == SRB_INITIALIZE_DEVICE
            ? static_cast<PORT_CONFIGURATION_INFORMATION*>(srb->CommandData.ConfigInfo)
                  ->PhysicalDeviceObject
            : device->BusDeviceObject;
  }
  if (dispatch != 0) {
    srb->Status = HandleDeviceRequest(device, srb, basicTable);
    StreamClassDeviceNotification(DeviceRequestComplete, device, srb);
  }
  return DeviceContextOf(device);
}
