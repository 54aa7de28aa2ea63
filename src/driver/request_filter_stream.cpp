// The handlers the filter puts on every opened stream: the device layer
// vets data-format changes before the class layer sees them.
#include "classlayer/device_layer_services.h"
#include "control/devicecontext.h"
#include "driver/request_filter.h"
#include "properties/formats.h"

namespace {

bool Supported(HW_STREAM_REQUEST_BLOCK* srb) {
  return VerifyDataFormat(srb->CommandData.OpenFormat, srb->StreamObject->StreamNumber);
}

// Without the service interface the format is accepted and nothing changes.
NTSTATUS SetDataFormat(HW_STREAM_REQUEST_BLOCK* srb) {
  if (!Supported(srb)) return STATUS_NO_MATCH;
  auto* context = static_cast<DeviceContext*>(ClassReceiveDevicePacket(srb, nullptr, nullptr, 0));
  const ServiceInterface& services = context->Services;
  if (services.Version == 0 || services.ChangeVideoFormat == nullptr) return STATUS_SUCCESS;
  if (!services.ChangeVideoFormat(context, srb)) return srb->Status;
  const KS_BITMAPINFOHEADER& bitmap =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(srb->CommandData.OpenFormat)
          ->VideoInfoHeader.bmiHeader;
  context->RealImageWidth = static_cast<ULONG>(bitmap.biWidth);
  context->RealImageHeight = static_cast<ULONG>(bitmap.biHeight);
  return STATUS_SUCCESS;
}

}  // namespace

void StreamControlHandler(HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN* handled) {
  NTSTATUS status;
  switch (srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
      status = Supported(srb) ? STATUS_SUCCESS : STATUS_NO_MATCH;
      break;
    case SRB_SET_DATA_FORMAT:
      status = SetDataFormat(srb);
      break;
    case SRB_GET_DATA_FORMAT:
      status = STATUS_NOT_IMPLEMENTED;
      break;
    default:
      *handled = FALSE;
      return;
  }
  *handled = TRUE;
  srb->Status = status;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

void StreamDataHandler(HW_STREAM_REQUEST_BLOCK*, BOOLEAN*) {}
