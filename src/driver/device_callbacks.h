// The device layer's Initialize callback as the class layer calls it.
#pragma once

#include "classlayer/callback_table.h"

// Identifies the camera, then loads the store's settings and sends the
// stored picture values, as a stream start would without starting the
// camera: property requests made before the first stream then find the
// command set, the key paths and the user's values rather than zeros.
NTSTATUS InitializeAndLoadSettings(DEVICE_OBJECT* bus, PVOID deviceContext);
