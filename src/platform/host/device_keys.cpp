// IoOpenDeviceRegistryKey and the per-device key paths behind it.
#include "platform/host/device_keys.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/host/contract_violations.h"
#include "platform/host/printf_engine.h"
#include "platform/host/registry_tree.h"

namespace veltocam::host {
namespace {

struct DeviceKeys {
  std::string driverKey;
  std::string deviceKey;
};

struct DeviceKeyTable {
  std::mutex mutex;
  std::map<const DEVICE_OBJECT*, DeviceKeys> devices;
  unsigned nextInstance = 0;
};

DeviceKeyTable& Table() {
  static DeviceKeyTable table;
  return table;
}

// Caller holds the table's lock.
DeviceKeys& KeysOf(DeviceKeyTable& table, const DEVICE_OBJECT* device) {
  auto it = table.devices.find(device);
  if (it != table.devices.end()) return it->second;
  char instance[16];
  std::snprintf(instance, sizeof instance, "%04u", table.nextInstance++);
  DeviceKeys keys{std::string("\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                              "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\") +
                      instance,
                  std::string("\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\"
                              "VID_0000&PID_0000\\") +
                      instance + "\\Device Parameters"};
  return table.devices.emplace(device, std::move(keys)).first->second;
}

std::string* PathOf(DeviceKeys& keys, ULONG keyType) {
  if (keyType == PLUGPLAY_REGKEY_DRIVER) return &keys.driverKey;
  if (keyType == PLUGPLAY_REGKEY_DEVICE) return &keys.deviceKey;
  return nullptr;
}

bool IsHivePath(std::string_view path) {
  std::vector<std::u16string> components;
  if (!NT_SUCCESS(registry::ParseAbsolutePath(FromUtf8(std::string(path)), &components)) ||
      components.empty()) {
    return false;
  }
  std::lock_guard lock(registry::Lock());
  return registry::Root()->FindSubkey(components.front()) != nullptr;
}

}  // namespace

bool SetDeviceRegistryKeyPath(const DEVICE_OBJECT* device, ULONG keyType, std::string_view path) {
  if (!IsHivePath(path)) return false;
  DeviceKeyTable& table = Table();
  std::lock_guard lock(table.mutex);
  std::string* target = PathOf(KeysOf(table, device), keyType);
  if (target == nullptr) return false;
  *target = std::string(path);
  return true;
}

std::string DeviceRegistryKeyPath(const DEVICE_OBJECT* device, ULONG keyType) {
  DeviceKeyTable& table = Table();
  std::lock_guard lock(table.mutex);
  const std::string* path = PathOf(KeysOf(table, device), keyType);
  return path == nullptr ? std::string() : *path;
}

void ForgetDeviceRegistryKeys(const DEVICE_OBJECT* device) {
  DeviceKeyTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.devices.erase(device);
}

void ResetDeviceRegistryKeys() {
  DeviceKeyTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.devices.clear();
  table.nextInstance = 0;
}

}  // namespace veltocam::host

NTSTATUS IoOpenDeviceRegistryKey(DEVICE_OBJECT* deviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK /*desiredAccess*/, HANDLE* devInstRegKey) {
  namespace host = veltocam::host;
  if (!host::RequirePassiveLevel("IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  if (deviceObject == nullptr || devInstRegKey == nullptr ||
      (devInstKeyType != PLUGPLAY_REGKEY_DRIVER && devInstKeyType != PLUGPLAY_REGKEY_DEVICE)) {
    return STATUS_INVALID_PARAMETER;
  }
  const std::string path = host::DeviceRegistryKeyPath(deviceObject, devInstKeyType);
  std::vector<std::u16string> components;
  if (!NT_SUCCESS(host::registry::ParseAbsolutePath(host::FromUtf8(path), &components))) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  std::lock_guard lock(host::registry::Lock());
  std::shared_ptr<host::registry::Key> key =
      host::registry::CreateKey(host::registry::Root(), components);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *devInstRegKey = host::registry::OpenKeyHandle(std::move(key));
  return STATUS_SUCCESS;
}
