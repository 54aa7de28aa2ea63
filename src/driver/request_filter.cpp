#include "driver/request_filter.h"

#include "classlayer/device_layer_services.h"
#include "control/buttonpipe.h"
#include "control/devicecontext.h"
#include "driver/callback_tables.h"
#include "properties/formats.h"
#include "properties/properties.h"

namespace {

// This camera's one isochronous pipe serves the capture stream only.
constexpr ULONG kDeviceLayerStreams = 1;

DeviceContext* ContextOf(HW_STREAM_REQUEST_BLOCK* srb) {
  return static_cast<DeviceContext*>(ClassReceiveDevicePacket(srb, nullptr, nullptr, 0));
}

void PassToClassLayer(HW_STREAM_REQUEST_BLOCK* srb) {
  ClassReceiveDevicePacket(srb, DeviceLayerBasicCallbacks(), nullptr, 1);
}

void Complete(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

// The device property sets the stream information announces.
void SetDevicePropertySets(HW_STREAM_HEADER* header) {
  header->NumDevPropArrayEntries = kDevicePropertySetCount;
  header->DevicePropertiesArray = kDevicePropertySets;
}

// The property handler leaves its outcome in the request, which completes
// with it (a request no handler serves keeps the port's status).
void DeviceProperty(HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN isSet) {
  DEVICE_OBJECT* bus = nullptr;
  auto* context = static_cast<DeviceContext*>(ClassReceiveDevicePacket(srb, nullptr, &bus, 0));
  DevicePropertyRequest(isSet, bus, context, srb);
  Complete(srb, srb->Status);
}

void GetStreamInfo(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* descriptor = static_cast<HW_STREAM_DESCRIPTOR*>(srb->CommandData.StreamBuffer);
  HW_STREAM_INFORMATION* streams = descriptor->StreamInfo;
  for (ULONG n = 0; n < kDeviceLayerStreams; ++n) streams[n] = *StreamTemplate(n);
  SetDevicePropertySets(&descriptor->StreamHeader);
  PassToClassLayer(srb);
}

void InitializeDeviceRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  DeviceContext* context = ContextOf(srb);
  auto* config = static_cast<PORT_CONFIGURATION_INFORMATION*>(srb->CommandData.ConfigInfo);
  context->ClassDeviceObject = config->ClassDeviceObject;
  context->LowerDeviceObject = config->RealPhysicalDeviceObject != nullptr
                                   ? config->RealPhysicalDeviceObject
                                   : config->PhysicalDeviceObject;
  InstallCallbackTable(context, DeviceLayerCallbacks(), kCallbackTableVersion,
                       kDeviceLayerControlFlags);
  PassToClassLayer(srb);
}

void OpenStreamRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  HW_STREAM_OBJECT* stream = srb->StreamObject;
  // The class layer takes these over at open and calls them first; they
  // travel in the stream object's entries in the handler form.
  stream->ReceiveDataPacket = AsStreamEntry(StreamDataHandler);
  stream->ReceiveControlPacket = AsStreamEntry(StreamControlHandler);
  const KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  const ULONG streamNumber = stream->StreamNumber;
  if (!VerifyDataFormat(format, streamNumber)) {
    Complete(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  DeviceContext* context = ContextOf(srb);
  const KS_BITMAPINFOHEADER& bitmap =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
  const auto width = static_cast<ULONG>(bitmap.biWidth);
  const auto height = static_cast<ULONG>(bitmap.biHeight);
  PassToClassLayer(srb);
  // The port keeps the request until this call returns.
  if (!NT_SUCCESS(srb->Status)) return;
  context->StreamOpen = 1;
  if (streamNumber == kCaptureStream) {
    context->RealImageWidth = width;
    context->RealImageHeight = height;
  }
}

}  // namespace

void FilterDeviceRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  switch (srb->Command) {
    case SRB_GET_STREAM_INFO:
      GetStreamInfo(srb);
      break;
    case SRB_OPEN_STREAM:
      OpenStreamRequest(srb);
      break;
    case SRB_GET_DEVICE_PROPERTY:
      DeviceProperty(srb, FALSE);
      break;
    case SRB_SET_DEVICE_PROPERTY:
      DeviceProperty(srb, TRUE);
      break;
    case SRB_INITIALIZE_DEVICE:
      InitializeDeviceRequest(srb);
      break;
    case SRB_GET_DATA_INTERSECTION:
      Complete(srb, IntersectDataRange(srb));
      break;
    case SRB_INITIALIZATION_COMPLETE:
      ObtainServiceInterface(ContextOf(srb));
      WatchButtonPipe(ContextOf(srb));
      Complete(srb, STATUS_SUCCESS);
      break;
    default:
      PassToClassLayer(srb);
      break;
  }
}
