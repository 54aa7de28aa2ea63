// Starting and stopping the camera for a stream: the output format becomes a
// capture size and sensor window, the camera gets its start-up sequence, the
// alternate setting is chosen and the class layer learns the raw frame size.
#pragma once

#include "classlayer/callback_table.h"
#include "control/devicecontext.h"

// Raw frame length of every stream but the video stream (640 x 480 x 3 / 2).
constexpr ULONG kStillRawFrameLength = 460800;

NTSTATUS AllocateBandwidth(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG* rawFrameLength,
                           KSDATAFORMAT* format, ULONG streamNumber);
NTSTATUS StartCapture(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG streamNumber);
NTSTATUS StopCapture(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG streamNumber);
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
