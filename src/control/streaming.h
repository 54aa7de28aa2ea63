// Starting and stopping the camera for a stream: the output format becomes a
// capture size and sensor window, the camera gets its start-up sequence, the
// alternate setting is chosen and the class layer learns the raw frame size.
#pragma once

#include "classlayer/callback_table.h"
#include "control/devicecontext.h"

// Raw frame length of every stream but the video stream (640 x 480 x 3 / 2).
constexpr ULONG kStillRawFrameLength = 460800;

// Stream start, in the order the device layer's AllocateBandwidth runs them:
// BeginStreamStart reads the camera and the store (false: firmware too old);
// StartCameraForFormat, given the status of loading the stream settings, sets
// the output and capture sizes, sends the start-up sequence, selects the
// alternate setting and reports the raw frame length; once the frame pipeline
// is prepared, UseOutputSizeFromNowOn makes ImageWidth/Height the output size.
bool BeginStreamStart(DeviceContext* context);
NTSTATUS StartCameraForFormat(DeviceContext* context, KSDATAFORMAT* format, NTSTATUS settingsStatus,
                              ULONG* rawFrameLength);
void UseOutputSizeFromNowOn(DeviceContext* context);

NTSTATUS StartCapture(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG streamNumber);

// Capture stop around saving the picture settings: the good-frame flag and the
// white balance first, then the camera is told to stop and powered down.
void BeginCaptureStop(DeviceContext* context);
void StopCamera(DeviceContext* context);

NTSTATUS FreeBandwidth(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG streamNumber);

// The driver-initial step, then the capture window. Always 0.
ULONG InitialiseCamera(DeviceContext* context);
// Picks the size number and sensor window for ImageWidth and tells the camera.
void SelectCaptureWindow(DeviceContext* context);
void SendQTable(DeviceContext* context);

// Selects the highest alternate setting from `highest` down to 1 that
// PacketSizeMax allows and the bus grants, else setting 0; the status of the
// selection that was kept.
NTSTATUS ChooseAlternateSetting(DeviceContext* context, UCHAR highest);
