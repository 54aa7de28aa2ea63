// The configuration store: the camera model's settings, command set and
// register list under registry keys named after the product name, re-read at
// every stream start, and the few values written back when streaming stops.
#pragma once

#include "control/devicecontext.h"

// Reads one REG_DWORD from an absolute key path; the value name is ASCII. On
// failure (no key, no value, another type) *result is 0 and the failure is
// returned: no default is applied here.
NTSTATUS QueryDword(DeviceContext* context, const WCHAR* keyPath, const char* valueName,
                    ULONG* result);
// Writes one REG_DWORD under an existing key; a null name is the key's
// unnamed default value.
NTSTATUS WriteDword(const WCHAR* keyPath, const char* valueName, ULONG value);

// The store's name of a configurable command ("SetQtable", ...).
const char* VendorCommandName(VendorCommandId command);

// Formats every key path from ProductName. Returns 0.
NTSTATUS BuildRegistryPaths(DeviceContext* context);

// CONTROL, DEFAULT and VENDORCOMMAND values. Values are taken from the store
// only when CONTROL\ApplyRegistryValues reads as 1, else their defaults; the
// Q-table and power-on commands' Request and Index are taken whenever they
// can be read. Returns the status of the last read.
NTSTATUS LoadControlSettings(DeviceContext* context);

// The capture values of CONTROL, each 0 when it cannot be read. Returns 0.
NTSTATUS LoadCaptureSettings(DeviceContext* context);

// Sends the STANDARD key's register list ("Num" entries "Ini0", "Ini1", ...:
// address in bits 8..23, value in bits 0..7) as plain register writes.
// Returns the status of the last read.
NTSTATUS RunStandardInitList(DeviceContext* context);

// At capture stop, when ApplyRegistryValues is 1 or 0xFFFFFFFF: the white
// balance and banding settings back to CONTROL. Returns the last write's status.
NTSTATUS SaveAwbSettings(DeviceContext* context);
