// The driver's entry point, as the platform calls it when it loads the driver.
#pragma once

#include "platform/io.h"

// Registers the driver with the stream-class port through the class layer:
// the device context, a four-byte frame context per read, the request filter.
NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
