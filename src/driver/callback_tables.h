// The device layer's callback tables, as the request filter installs them.
#pragma once

#include "classlayer/callback_table.h"

// Extended table (version 0x200) and the control flags it is installed with.
const DeviceCallbackTable* DeviceLayerCallbacks();
constexpr ULONG kDeviceLayerControlFlags = 0x0C;

// The basic table, handed to the class layer with every device request.
const BasicCallbackTable* DeviceLayerBasicCallbacks();
