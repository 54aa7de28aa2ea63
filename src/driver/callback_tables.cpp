#include "driver/callback_tables.h"

#include "control/camerastate.h"
#include "control/devicecontext.h"
#include "control/identification.h"
#include "control/streaming.h"
#include "driver/device_callbacks.h"
#include "driver/stream_callbacks.h"
#include "pipeline/packets.h"
#include "pipeline/rawframe.h"

namespace {

// Basic forms: one stream, which is the video stream; the device layer names
// its data pipe (pipe 0) and has no sync pipe.
NTSTATUS StartCaptureBasic(DEVICE_OBJECT* bus, PVOID context) {
  return StartCapture(bus, context, 0);
}
NTSTATUS StopCaptureBasic(DEVICE_OBJECT* bus, PVOID context) {
  return StopCapture(bus, context, 0);
}
NTSTATUS FreeBandwidthBasic(DEVICE_OBJECT* bus, PVOID context) {
  return FreeBandwidth(bus, context, 0);
}
NTSTATUS AllocateBandwidthBasic(DEVICE_OBJECT* bus, PVOID context, ULONG* rawFrameLength,
                                KSDATAFORMAT* format) {
  return AllocateBandwidth(bus, context, rawFrameLength, format, 0);
}
NTSTATUS ConfigureBasic(DEVICE_OBJECT* bus, PVOID context,
                        USBD_INTERFACE_INFORMATION* interfaceInfo,
                        USB_CONFIGURATION_DESCRIPTOR* configuration, LONG* dataPipeIndex,
                        LONG* syncPipeIndex) {
  *dataPipeIndex = 0;
  *syncPipeIndex = -1;
  return Configure(bus, context, interfaceInfo, configuration, 0, nullptr, nullptr);
}

constexpr DeviceCallbackTable kExtended = {0,
                                           InitializeAndLoadSettings,
                                           UnInitialize,
                                           ProcessPacket,
                                           NewFrame,
                                           ProcessRawFrame,
                                           StartCapture,
                                           StopCapture,
                                           Configure,
                                           SaveState,
                                           RestoreState,
                                           AllocateBandwidth,
                                           FreeBandwidth};

constexpr BasicCallbackTable kBasic = {0,
                                       InitializeAndLoadSettings,
                                       UnInitialize,
                                       ProcessPacketBasic,
                                       NewFrameBasic,
                                       ProcessRawFrameBasic,
                                       StartCaptureBasic,
                                       StopCaptureBasic,
                                       ConfigureBasic,
                                       SaveState,
                                       RestoreState,
                                       AllocateBandwidthBasic,
                                       FreeBandwidthBasic};

}  // namespace

const DeviceCallbackTable* DeviceLayerCallbacks() {
  return &kExtended;
}
const BasicCallbackTable* DeviceLayerBasicCallbacks() {
  return &kBasic;
}
