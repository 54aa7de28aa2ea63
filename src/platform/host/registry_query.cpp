// RtlQueryRegistryValues: the query-table reader. Values are copied out of the
// store under its lock and delivered without it, so that query routines may
// call the registry themselves.
#include <cstring>

#include "platform/host/case_folding.h"
#include "platform/host/contract_violations.h"
#include "platform/host/registry_tree.h"
#include "platform/kernel.h"

namespace registry = veltocam::host::registry;
using registry::Key;
using registry::Value;

namespace {

constexpr ULONG kStringTag = PoolTag("Strg");  // freed by RtlFreeUnicodeString

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// An environment block: "NAME=VALUE" strings, each NUL-terminated, ended by
// an empty one. Without a block no variable is defined.
std::u16string Lookup(const WCHAR* environment, std::u16string_view name, bool* found) {
  *found = false;
  for (const WCHAR* entry = environment; entry != nullptr && *entry != 0;) {
    const std::u16string_view text(entry);
    const std::size_t equals = text.find(u'=', 1);  // "=C:" style names start with '='
    if (equals != std::u16string_view::npos &&
        veltocam::host::EqualsIgnoringCase(text.substr(0, equals), name)) {
      *found = true;
      return std::u16string(text.substr(equals + 1));
    }
    entry += text.size() + 1;
  }
  return {};
}

// %NAME% is replaced by the variable's value; unknown names stay as written.
std::u16string Expand(std::u16string_view text, const WCHAR* environment) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find(u'%', i);
    const std::size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, open - i));
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    bool found = false;
    std::u16string value = name.empty() ? std::u16string() : Lookup(environment, name, &found);
    out.append(found ? value : std::u16string(text.substr(open, close - open + 1)));
    i = close + 1;
  }
  return out;
}

NTSTATUS DirectString(UNICODE_STRING* target, const std::vector<std::uint8_t>& data) {
  std::size_t bytes = data.size() & ~std::size_t{1};
  if (bytes >= 2 && data[bytes - 2] == 0 && data[bytes - 1] == 0) bytes -= 2;
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
  if (target->Buffer == nullptr) {
    target->Buffer =
        static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (target->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    target->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (target->MaximumLength < bytes) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (bytes != 0) std::memcpy(target->Buffer, data.data(), bytes);
  target->Length = static_cast<USHORT>(bytes);
  if (target->MaximumLength >= bytes + sizeof(WCHAR)) target->Buffer[bytes / 2] = 0;
  return STATUS_SUCCESS;
}

// Non-string data: up to four bytes go straight into the ULONG; longer data
// goes into a buffer whose first LONG gives its size: negated for the data
// alone, positive for length, type and data.
NTSTATUS DirectData(void* target, ULONG type, const std::vector<std::uint8_t>& data) {
  auto* out = static_cast<std::uint8_t*>(target);
  if (data.size() <= sizeof(ULONG)) {
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return STATUS_SUCCESS;
  }
  LONG header;
  std::memcpy(&header, out, sizeof header);
  if (header < 0) {
    if (data.size() > static_cast<std::size_t>(-static_cast<LONGLONG>(header))) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, data.data(), data.size());
    return STATUS_SUCCESS;
  }
  if (2 * sizeof(ULONG) + data.size() > static_cast<std::size_t>(header)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  const auto length = static_cast<ULONG>(data.size());
  std::memcpy(out, &length, sizeof length);
  std::memcpy(out + sizeof(ULONG), &type, sizeof type);
  std::memcpy(out + 2 * sizeof(ULONG), data.data(), data.size());
  return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                     std::vector<std::uint8_t> data, PVOID context) {
  const auto length = static_cast<ULONG>(data.size());
  data.resize(data.size() + 2 * sizeof(WCHAR), 0);  // strings always end in a NUL
  return entry.QueryRoutine(name.c_str(), type, data.data(), length, context, entry.EntryContext);
}

// Hands one value (or a default) to the entry, as its flags ask.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                 std::vector<std::uint8_t> data, PVOID context, const WCHAR* environment) {
  const bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
    if (entry.EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        type != entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) {
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Delivered string by string, a multi-string would leave only its last
    // string in the target (and leak the buffers allocated for the others):
    // it is delivered whole, with NOEXPAND, or not at all.
    if (type == REG_MULTI_SZ && expand) return STATUS_INVALID_PARAMETER;
    if (type == REG_EXPAND_SZ && expand) {
      data = registry::StringData(Expand(registry::StringFromData(data), environment));
    }
    if (IsStringType(type)) {
      return DirectString(static_cast<UNICODE_STRING*>(entry.EntryContext), data);
    }
    return DirectData(entry.EntryContext, type, data);
  }
  if (type == REG_EXPAND_SZ && expand) {
    return CallRoutine(entry, name, REG_SZ,
                       registry::StringData(Expand(registry::StringFromData(data), environment)),
                       context);
  }
  if (type == REG_MULTI_SZ && expand) {
    // One call per string, each with its NUL.
    for (const std::u16string& text : registry::SplitMultiString(data)) {
      if (NTSTATUS status = CallRoutine(entry, name, REG_SZ, registry::StringData(text), context);
          !NT_SUCCESS(status)) {
        return status;
      }
    }
    return STATUS_SUCCESS;
  }
  return CallRoutine(entry, name, type, std::move(data), context);
}

NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context,
                        const WCHAR* environment) {
  ULONG type = entry.DefaultType;
  if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
    type &= (1U << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1;
  }
  if (type == REG_NONE) return STATUS_SUCCESS;
  std::size_t length = entry.DefaultLength;
  const auto* bytes = static_cast<const std::uint8_t*>(entry.DefaultData);
  if (bytes == nullptr) {
    length = 0;
  } else if (length == 0 && IsStringType(type)) {
    // A zero length means "measure it": up to the NUL, or the empty string
    // ending a multi-string.
    const auto* text = static_cast<const WCHAR*>(entry.DefaultData);
    std::size_t n = 0;
    if (type == REG_MULTI_SZ) {
      while (text[n] != 0 || text[n + 1] != 0) ++n;
      n += 2;
    } else {
      while (text[n] != 0) ++n;
      n += 1;
    }
    length = n * sizeof(WCHAR);
  }
  std::vector<std::uint8_t> data(bytes, bytes + length);
  return Deliver(entry, std::u16string(registry::WideView(entry.Name)), type, std::move(data),
                 context, environment);
}

NTSTATUS QueryOne(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key,
                  PVOID context, const WCHAR* environment) {
  const std::u16string_view name(entry.Name);
  std::optional<Value> value;
  {
    std::lock_guard lock(registry::Lock());
    if (const Value* found = key->FindValue(name)) value = *found;
  }
  if (!value) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeliverDefault(entry, context, environment);
  }
  NTSTATUS status =
      Deliver(entry, value->name, value->type, std::move(value->data), context, environment);
  if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
    std::lock_guard lock(registry::Lock());
    key->DeleteValue(name);
  }
  return status;
}

// An entry without a value name: the routine sees every value of the key.
NTSTATUS QueryAll(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key,
                  PVOID context, const WCHAR* environment) {
  if (entry.QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<Value> values;
  {
    std::lock_guard lock(registry::Lock());
    values = key->values;
  }
  if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  for (Value& value : values) {
    NTSTATUS status =
        Deliver(entry, value.name, value.type, std::move(value.data), context, environment);
    if (!NT_SUCCESS(status)) return status;
    if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) {
      std::lock_guard lock(registry::Lock());
      key->DeleteValue(value.name);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS OpenSubkey(const std::shared_ptr<Key>& base, const WCHAR* name,
                    std::shared_ptr<Key>* key) {
  if (name == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<std::u16string> components;
  if (NTSTATUS status = registry::ParseRelativePath(name, &components); !NT_SUCCESS(status)) {
    return status;
  }
  std::lock_guard lock(registry::Lock());
  *key = registry::FindKey(base, components);
  return *key == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, const WCHAR* path,
                                RTL_QUERY_REGISTRY_TABLE* queryTable, PVOID context,
                                PVOID environment) {
  if (!veltocam::host::RequirePassiveLevel("RtlQueryRegistryValues")) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (queryTable == nullptr) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> base;
  NTSTATUS status;
  {
    std::lock_guard lock(registry::Lock());
    status = registry::FindRtlKey(relativeTo, path, &base);
  }
  if (!NT_SUCCESS(status)) {
    const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    return optional && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
  }
  const auto* env = static_cast<const WCHAR*>(environment);
  std::shared_ptr<Key> current = base;
  for (const RTL_QUERY_REGISTRY_TABLE* entry = queryTable;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    const ULONG flags = entry->Flags;
    if (flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
      current = base;
      if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
        // The name is the subkey's; a routine on this entry sees its values.
        status = OpenSubkey(base, entry->Name, &current);
        if (NT_SUCCESS(status) && entry->QueryRoutine != nullptr) {
          status = QueryAll(*entry, current, context, env);
        }
        if (!NT_SUCCESS(status)) return status;
        continue;
      }
    }
    if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      if (entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
      status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
    } else if (entry->QueryRoutine == nullptr && !(flags & RTL_QUERY_REGISTRY_DIRECT)) {
      return STATUS_INVALID_PARAMETER;  // a named entry with nothing to deliver to
    } else if (entry->Name == nullptr) {
      status = QueryAll(*entry, current, context, env);
    } else {
      status = QueryOne(*entry, current, context, env);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
