// The camera's command protocol: vendor requests on the default pipe. Five
// transfer primitives over the class layer's control service, the handshaked
// command (VCwrite), the verified data command (BurstWrite) and single
// register accesses. All of it runs at passive level: the handshake reads the
// firmware's status right after each request and spins between polls.
#pragma once

#include "classlayer/device_layer_services.h"
#include "control/devicecontext.h"

// Fixed requests of the camera firmware.
constexpr UCHAR kRequestRegister = 0x00;        // OUT: write a register; IN: read one
constexpr UCHAR kRequestSnapshotStatus = 0x04;  // IN, wIndex 1, 2 bytes
constexpr UCHAR kRequestFirmwareVersion = 0x20;
constexpr UCHAR kRequestFirmwareStatus = 0x21;  // wIndex 0 idle, 1 event
constexpr UCHAR kRequestProductDescriptor = 0x23;
constexpr UCHAR kRequestDriverInitial = 0x33;  // wIndex 0 global, 1 CDSP
constexpr USHORT kStatusIdle = 0;
constexpr USHORT kStatusEvent = 1;

// The poll and retry limit every command is sent with.
constexpr ULONG kCommandTimeout = 50;
// The read-back buffer of BurstWrite; longer configured lengths are cut to it.
constexpr ULONG kBurstBufferSize = 64;

// Each primitive is true when the control service returned success or
// STATUS_PENDING (a deferred transfer), false otherwise.
bool VendorRead(DeviceContext* context, UCHAR request, USHORT index, PVOID buffer, ULONG* length);
bool VendorReadValue(DeviceContext* context, UCHAR request, USHORT index, USHORT value,
                     PVOID buffer, ULONG length);
bool VendorCommandNoData(DeviceContext* context, UCHAR request, USHORT index, USHORT value);
bool VendorWrite(DeviceContext* context, UCHAR request, USHORT index, const void* buffer,
                 ULONG length);
// As VendorRead; `completion` reports the outcome (at once below dispatch
// level, from the worker otherwise). Buffer and length must outlive it.
bool VendorReadAsync(DeviceContext* context, UCHAR request, USHORT index, PVOID buffer,
                     ULONG* length, ControlRequestCompletion completion, PVOID completionContext);

// Spins on the system time; 0 returns at once.
void DelayMs(ULONG milliseconds);

// A command without data, handshaked with the firmware's idle and event
// status. 1 when the firmware accepted it, 0 when a stage ran out of polls
// (or the command is not configured: Request 0xFF never goes out). `length`
// is accepted and not used.
ULONG VCwrite(DeviceContext* context, UCHAR request, USHORT index, USHORT value, USHORT length,
              ULONG timeout, const char* name);

// A command carrying `payload` (one byte, the rest of a longer configured
// length is zero), verified by reading it back and re-sent until the first
// byte matches. 1 when it matched within `timeout` retries. `value` is not
// used: the request always carries wValue 0.
ULONG BurstWrite(DeviceContext* context, UCHAR request, USHORT index, USHORT value, USHORT length,
                 UCHAR payload, ULONG timeout, const char* name);

// One camera register, without handshake.
bool RegisterWrite(DeviceContext* context, USHORT address, UCHAR value);
bool RegisterRead(DeviceContext* context, USHORT address, UCHAR* value);

// A configured command by its descriptor; skipped (0) when it is not
// configured. SendCommand handshakes it, SendDataCommand verifies `payload`.
ULONG SendCommand(DeviceContext* context, VendorCommandId command, const char* name);
ULONG SendDataCommand(DeviceContext* context, VendorCommandId command, UCHAR payload,
                      const char* name);
