// The platform's registry routines other than the query table: single values,
// key creation and checks, key handles and the value-record query.
#include <cstring>

#include "platform/host/contract_violations.h"
#include "platform/host/registry_tree.h"
#include "platform/kernel.h"

namespace registry = veltocam::host::registry;
using registry::Key;
using veltocam::host::RequirePassiveLevel;

namespace {

// The routines' answer when called above PASSIVE_LEVEL (after the contract
// violation is reported).
constexpr NTSTATUS kWrongLevel = STATUS_INVALID_DEVICE_STATE;

// A counted name: null or empty is the default value; an odd byte count or a
// missing buffer is not a name.
bool NameOf(const UNICODE_STRING* name, std::u16string_view* view) {
  if (name == nullptr || name->Length == 0) {
    *view = {};
    return true;
  }
  if (name->Buffer == nullptr || name->Length % sizeof(WCHAR) != 0) return false;
  *view = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
  return true;
}

// The key named by object attributes: absolute, or relative to an open key.
// Caller holds the lock. With `createLast` the last component is created when
// absent (the keys above it must exist).
NTSTATUS KeyOfAttributes(const OBJECT_ATTRIBUTES* attributes, bool createLast,
                         std::shared_ptr<Key>* key, bool* created) {
  *created = false;
  if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string_view name;
  if (!NameOf(attributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
  std::shared_ptr<Key> start = registry::Root();
  std::vector<std::u16string> components;
  NTSTATUS status;
  if (attributes->RootDirectory != nullptr) {
    status = registry::KeyOfHandle(attributes->RootDirectory, &start);
    if (NT_SUCCESS(status)) status = registry::ParseRelativePath(name, &components);
  } else {
    status = registry::ParseAbsolutePath(name, &components);
  }
  if (!NT_SUCCESS(status)) return status;
  if (std::shared_ptr<Key> existing = registry::FindKey(start, components)) {
    *key = std::move(existing);
    return STATUS_SUCCESS;
  }
  if (!createLast || components.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string last = components.back();
  components.pop_back();
  std::shared_ptr<Key> parent = registry::FindKey(start, components);
  if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *key = registry::CreateKey(parent, {last}, created);
  return *key == nullptr ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;  // a new hive
}

// Fills a value record in the caller's buffer, which is not aligned for us.
struct RecordWriter {
  UCHAR* base;

  void Put(ULONG offset, const void* data, ULONG size) const {
    if (size != 0) std::memcpy(base + offset, data, size);
  }
  void PutUlong(ULONG offset, ULONG value) const { Put(offset, &value, sizeof value); }
};

}  // namespace

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, const WCHAR* path, const WCHAR* valueName,
                               ULONG valueType, const void* valueData, ULONG valueLength) {
  if (!RequirePassiveLevel("RtlWriteRegistryValue")) return kWrongLevel;
  if (valueData == nullptr && valueLength != 0) return STATUS_INVALID_PARAMETER;
  const std::u16string_view name = registry::WideView(valueName);
  if (name.size() > registry::kMaxValueNameLength) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const std::uint8_t*>(valueData);
  std::vector<std::uint8_t> data(bytes, bytes + valueLength);
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  if (NTSTATUS status = registry::FindRtlKey(relativeTo, path, &key); !NT_SUCCESS(status)) {
    return status;
  }
  if (!registry::TakesValues(key)) return STATUS_ACCESS_DENIED;
  key->SetValue(name, valueType, std::move(data));
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, const WCHAR* path, const WCHAR* valueName) {
  if (!RequirePassiveLevel("RtlDeleteRegistryValue")) return kWrongLevel;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  if (NTSTATUS status = registry::FindRtlKey(relativeTo, path, &key); !NT_SUCCESS(status)) {
    return status;
  }
  return key->DeleteValue(registry::WideView(valueName)) ? STATUS_SUCCESS
                                                         : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, const WCHAR* path) {
  if (!RequirePassiveLevel("RtlCreateRegistryKey")) return kWrongLevel;
  std::lock_guard lock(registry::Lock());
  if ((relativeTo & ~RTL_REGISTRY_OPTIONAL) != RTL_REGISTRY_ABSOLUTE) {
    std::shared_ptr<Key> key;
    return registry::FindRtlKey(relativeTo, path, &key);
  }
  if (path == nullptr) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  std::shared_ptr<Key> key;
  bool created;
  return KeyOfAttributes(&attributes, true, &key, &created);
}

NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, const WCHAR* path) {
  if (!RequirePassiveLevel("RtlCheckRegistryKey")) return kWrongLevel;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  return registry::FindRtlKey(relativeTo, path, &key);
}

namespace {

NTSTATUS OpenKey(const char* routine, HANDLE* keyHandle, OBJECT_ATTRIBUTES* objectAttributes,
                 bool create, ULONG* disposition) {
  if (!RequirePassiveLevel(routine)) return kWrongLevel;
  if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  bool created;
  if (NTSTATUS status = KeyOfAttributes(objectAttributes, create, &key, &created);
      !NT_SUCCESS(status)) {
    return status;
  }
  *keyHandle = registry::OpenKeyHandle(std::move(key));
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK /*desiredAccess*/,
                   OBJECT_ATTRIBUTES* objectAttributes) {
  return OpenKey("ZwOpenKey", keyHandle, objectAttributes, false, nullptr);
}

NTSTATUS ZwCreateKey(HANDLE* keyHandle, ACCESS_MASK /*desiredAccess*/,
                     OBJECT_ATTRIBUTES* objectAttributes, ULONG /*titleIndex*/,
                     UNICODE_STRING* /*keyClass*/, ULONG /*createOptions*/, ULONG* disposition) {
  return OpenKey("ZwCreateKey", keyHandle, objectAttributes, true, disposition);
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, const UNICODE_STRING* valueName, ULONG /*titleIndex*/,
                       ULONG type, const void* data, ULONG dataSize) {
  if (!RequirePassiveLevel("ZwSetValueKey")) return kWrongLevel;
  std::u16string_view name;
  if (!NameOf(valueName, &name) || name.size() > registry::kMaxValueNameLength) {
    return STATUS_INVALID_PARAMETER;
  }
  if (data == nullptr && dataSize != 0) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::vector<std::uint8_t> copy(bytes, bytes + dataSize);
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  if (NTSTATUS status = registry::KeyOfHandle(keyHandle, &key); !NT_SUCCESS(status)) {
    return status;
  }
  if (!registry::TakesValues(key)) return STATUS_ACCESS_DENIED;
  key->SetValue(name, type, std::move(copy));
  return STATUS_SUCCESS;
}

// The record layouts are the platform's: a fixed part, then the name (basic,
// full) and the data (partial; full at an 8-byte aligned DataOffset). A buffer
// shorter than the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); one that
// holds the fixed part but not the rest gets the fixed part
// (STATUS_BUFFER_OVERFLOW). Either way *resultLength is the size needed.
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, const UNICODE_STRING* valueName,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, ULONG* resultLength) {
  if (!RequirePassiveLevel("ZwQueryValueKey")) return kWrongLevel;
  if (resultLength == nullptr || (information == nullptr && length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string_view name;
  if (!NameOf(valueName, &name)) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(registry::Lock());
  std::shared_ptr<Key> key;
  if (NTSTATUS status = registry::KeyOfHandle(keyHandle, &key); !NT_SUCCESS(status)) {
    return status;
  }
  const registry::Value* value = key->FindValue(name);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  const auto nameBytes = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
  const auto dataBytes = static_cast<ULONG>(value->data.size());
  ULONG fixed, needed, nameOffset = 0, dataOffset = 0;
  switch (informationClass) {
    case KeyValueBasicInformation:
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      nameOffset = fixed;
      needed = fixed + nameBytes;
      break;
    case KeyValueFullInformation:
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      nameOffset = fixed;
      dataOffset = (fixed + nameBytes + 7) & ~7U;
      needed = dataBytes == 0 ? fixed + nameBytes : dataOffset + dataBytes;
      break;
    case KeyValuePartialInformation:
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      dataOffset = fixed;
      needed = fixed + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *resultLength = needed;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

  const RecordWriter out{static_cast<UCHAR*>(information)};
  out.PutUlong(0, 0);  // TitleIndex
  out.PutUlong(4, value->type);
  switch (informationClass) {
    case KeyValueBasicInformation:
      out.PutUlong(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
      break;
    case KeyValueFullInformation:
      out.PutUlong(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
      out.PutUlong(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
      out.PutUlong(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
      break;
    default:
      out.PutUlong(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
      break;
  }
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (informationClass != KeyValuePartialInformation) {
    out.Put(nameOffset, value->name.data(), nameBytes);
  }
  if (informationClass == KeyValueFullInformation && dataBytes != 0) {
    const UCHAR padding[8] = {};
    out.Put(nameOffset + nameBytes, padding, dataOffset - nameOffset - nameBytes);
  }
  if (informationClass != KeyValueBasicInformation) {
    out.Put(dataOffset, value->data.data(), dataBytes);
  }
  return STATUS_SUCCESS;
}
