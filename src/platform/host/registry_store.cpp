// The host API of the registry store.
#include "platform/host/registry_store.h"

#include "platform/host/printf_engine.h"
#include "platform/host/registry_tree.h"

namespace veltocam::host {
namespace {

using registry::Key;

std::shared_ptr<Key> FindLocked(std::string_view path) {
  std::vector<std::u16string> components;
  if (!NT_SUCCESS(registry::ParseAbsolutePath(FromUtf8(std::string(path)), &components))) {
    return nullptr;
  }
  return registry::FindKey(registry::Root(), components);
}

std::shared_ptr<Key> CreateLocked(std::string_view path) {
  std::vector<std::u16string> components;
  if (!NT_SUCCESS(registry::ParseAbsolutePath(FromUtf8(std::string(path)), &components))) {
    return nullptr;
  }
  return registry::CreateKey(registry::Root(), components);
}

std::optional<registry::Value> FindValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key = FindLocked(path);
  if (key == nullptr) return std::nullopt;
  const registry::Value* value = key->FindValue(FromUtf8(std::string(name)));
  if (value == nullptr) return std::nullopt;
  return *value;
}

bool IsString(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

}  // namespace

void ResetRegistry() {
  std::lock_guard lock(registry::Lock());
  registry::ResetTreeLocked();
}

bool CreateRegistryKey(std::string_view path) {
  std::lock_guard lock(registry::Lock());
  return CreateLocked(path) != nullptr;
}

bool RegistryKeyExists(std::string_view path) {
  std::lock_guard lock(registry::Lock());
  return FindLocked(path) != nullptr;
}

bool DeleteRegistryKey(std::string_view path) {
  std::lock_guard lock(registry::Lock());
  return registry::DeleteKey(FindLocked(path));
}

bool SetRegistryValue(std::string_view path, std::string_view name, ULONG type,
                      std::span<const std::uint8_t> data) {
  const std::u16string valueName = FromUtf8(std::string(name));
  if (valueName.size() > registry::kMaxValueNameLength) return false;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key = CreateLocked(path);
  if (key == nullptr || !registry::TakesValues(key)) return false;
  key->SetValue(valueName, type, std::vector<std::uint8_t>(data.begin(), data.end()));
  return true;
}

bool SetRegistryDword(std::string_view path, std::string_view name, std::uint32_t value) {
  const std::uint8_t data[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return SetRegistryValue(path, name, REG_DWORD, data);
}

bool SetRegistryString(std::string_view path, std::string_view name, std::string_view text,
                       ULONG type) {
  return SetRegistryValue(path, name, type, registry::StringData(FromUtf8(std::string(text))));
}

bool SetRegistryMultiString(std::string_view path, std::string_view name,
                            const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> data;
  for (const std::string& text : strings) {
    std::vector<std::uint8_t> one = registry::StringData(FromUtf8(text));
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  data.push_back(0);
  return SetRegistryValue(path, name, REG_MULTI_SZ, data);
}

bool SetRegistryBinary(std::string_view path, std::string_view name,
                       std::span<const std::uint8_t> data) {
  return SetRegistryValue(path, name, REG_BINARY, data);
}

std::optional<RegistryValue> GetRegistryValue(std::string_view path, std::string_view name) {
  std::optional<registry::Value> value = FindValue(path, name);
  if (!value) return std::nullopt;
  return RegistryValue{ToUtf8(value->name), value->type, std::move(value->data)};
}

std::optional<std::uint32_t> GetRegistryDword(std::string_view path, std::string_view name) {
  std::optional<registry::Value> value = FindValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  const auto& d = value->data;
  return static_cast<std::uint32_t>(d[0] | d[1] << 8 | d[2] << 16) |
         static_cast<std::uint32_t>(d[3]) << 24;
}

std::optional<std::string> GetRegistryString(std::string_view path, std::string_view name) {
  std::optional<registry::Value> value = FindValue(path, name);
  if (!value || !IsString(value->type)) return std::nullopt;
  return ToUtf8(registry::StringFromData(value->data));
}

std::optional<std::vector<std::string>> GetRegistryMultiString(std::string_view path,
                                                               std::string_view name) {
  std::optional<registry::Value> value = FindValue(path, name);
  if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::string> strings;
  for (const std::u16string& text : registry::SplitMultiString(value->data)) {
    strings.push_back(ToUtf8(text));
  }
  return strings;
}

std::optional<std::vector<std::uint8_t>> GetRegistryBinary(std::string_view path,
                                                           std::string_view name) {
  std::optional<registry::Value> value = FindValue(path, name);
  if (!value) return std::nullopt;
  return std::move(value->data);
}

bool DeleteRegistryValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key = FindLocked(path);
  return key != nullptr && key->DeleteValue(FromUtf8(std::string(name)));
}

std::vector<std::string> RegistrySubkeys(std::string_view path) {
  std::vector<std::string> names;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key = FindLocked(path);
  if (key == nullptr) return names;
  for (const auto& [folded, child] : key->subkeys) names.push_back(ToUtf8(child->name));
  return names;
}

std::vector<RegistryValue> RegistryValues(std::string_view path) {
  std::vector<RegistryValue> values;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key = FindLocked(path);
  if (key == nullptr) return values;
  for (const registry::Value& value : key->values) {
    values.push_back({ToUtf8(value.name), value.type, value.data});
  }
  return values;
}

}  // namespace veltocam::host
