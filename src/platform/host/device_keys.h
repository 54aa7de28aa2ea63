// Which registry keys IoOpenDeviceRegistryKey opens for a device object.
// Programs and tests may set them; otherwise each device object gets an
// instance number NNNN (0000, 0001, ... in order of first use):
//   driver key "\Registry\MACHINE\SYSTEM\CurrentControlSet\Control\Class" +
//              "\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\NNNN" (imaging devices)
//   device key "\Registry\MACHINE\SYSTEM\CurrentControlSet\Enum\USB" +
//              "\VID_0000&PID_0000\NNNN\Device Parameters"
#pragma once

#include <string>
#include <string_view>

#include "platform/registry.h"

namespace veltocam::host {

// keyType is PLUGPLAY_REGKEY_DRIVER or PLUGPLAY_REGKEY_DEVICE; false for
// another type or a path that is not below a hive.
bool SetDeviceRegistryKeyPath(const DEVICE_OBJECT* device, ULONG keyType, std::string_view path);
// The path for the device (assigning its default on first use); "" for an
// unknown key type.
std::string DeviceRegistryKeyPath(const DEVICE_OBJECT* device, ULONG keyType);
// Drops the device's paths, e.g. when the device object goes away and its
// memory may be reused for another.
void ForgetDeviceRegistryKeys(const DEVICE_OBJECT* device);
// Forgets every device and restarts the instance numbers at 0000.
void ResetDeviceRegistryKeys();

}  // namespace veltocam::host
