#include "platform/host/registry_tree.h"

#include "platform/host/case_folding.h"

namespace veltocam::host::registry {
namespace {

std::shared_ptr<Key> AddSubkey(Key& parent, std::u16string_view name) {
  auto key = std::make_shared<Key>();
  key->name = std::u16string(name);
  key->parent = &parent;
  parent.subkeys.emplace(FoldCase(name), key);
  return key;
}

// The hives with the top-level keys every machine has, so that drivers can
// create their keys below them as they would on the platform.
constexpr const char16_t* kMachine = u"MACHINE";
constexpr const char16_t* kUser = u"USER";
constexpr const char16_t* kMachineHives[] = {u"HARDWARE", u"SOFTWARE", u"SYSTEM"};

std::shared_ptr<Key> NewRoot() {
  auto root = std::make_shared<Key>();
  root->name = u"Registry";
  auto machine = AddSubkey(*root, kMachine);
  machine->hive = true;
  for (const char16_t* name : kMachineHives) AddSubkey(*machine, name)->hive = true;
  AddSubkey(*root, kUser)->hive = true;
  return root;
}

std::shared_ptr<Key>& MutableRoot() {
  static std::shared_ptr<Key> root = NewRoot();
  return root;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  key.parent = nullptr;
  for (auto& [folded, child] : key.subkeys) MarkDeleted(*child);
  key.subkeys.clear();
  key.values.clear();
}

std::optional<std::vector<std::u16string>> Split(std::u16string_view path) {
  std::vector<std::u16string> components;
  if (path.empty()) return components;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (part.empty() || part.size() > kMaxKeyNameLength) return std::nullopt;
    components.emplace_back(part);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return components;
}

}  // namespace

const Value* Key::FindValue(std::u16string_view valueName) const {
  for (const Value& value : values) {
    if (EqualsIgnoringCase(value.name, valueName)) return &value;
  }
  return nullptr;
}

std::shared_ptr<Key> Key::FindSubkey(std::u16string_view keyName) const {
  auto it = subkeys.find(FoldCase(keyName));
  return it == subkeys.end() ? nullptr : it->second;
}

void Key::SetValue(std::u16string_view valueName, ULONG type, std::vector<std::uint8_t> data) {
  for (Value& value : values) {
    if (EqualsIgnoringCase(value.name, valueName)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  values.push_back({std::u16string(valueName), type, std::move(data)});
}

bool Key::DeleteValue(std::u16string_view valueName) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (EqualsIgnoringCase(it->name, valueName)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

std::mutex& Lock() {
  static std::mutex mutex;
  return mutex;
}

const std::shared_ptr<Key>& Root() {
  return MutableRoot();
}

bool TakesValues(const std::shared_ptr<Key>& key) {
  return key != Root();
}

void ResetTreeLocked() {
  std::shared_ptr<Key>& root = MutableRoot();
  MarkDeleted(*root);  // handles that survive a reset see their keys as deleted
  root = NewRoot();
}

NTSTATUS ParseAbsolutePath(std::u16string_view path, std::vector<std::u16string>* components) {
  if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::optional<std::vector<std::u16string>> parts = Split(path.substr(1));
  if (!parts || parts->empty()) return STATUS_OBJECT_NAME_INVALID;
  if (!EqualsIgnoringCase(parts->front(), u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
  parts->erase(parts->begin());
  *components = std::move(*parts);
  return STATUS_SUCCESS;
}

NTSTATUS ParseRelativePath(std::u16string_view path, std::vector<std::u16string>* components) {
  if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::optional<std::vector<std::u16string>> parts = Split(path);
  if (!parts) return STATUS_OBJECT_NAME_INVALID;
  *components = std::move(*parts);
  return STATUS_SUCCESS;
}

std::shared_ptr<Key> FindKey(const std::shared_ptr<Key>& start,
                             const std::vector<std::u16string>& components) {
  std::shared_ptr<Key> key = start;
  for (const std::u16string& component : components) {
    if (key == nullptr || key->deleted) return nullptr;
    key = key->FindSubkey(component);
  }
  return key != nullptr && key->deleted ? nullptr : key;
}

std::shared_ptr<Key> CreateKey(const std::shared_ptr<Key>& start,
                               const std::vector<std::u16string>& components, bool* created) {
  if (created != nullptr) *created = false;
  if (start == nullptr || start->deleted) return nullptr;
  std::shared_ptr<Key> key = start;
  for (const std::u16string& component : components) {
    std::shared_ptr<Key> next = key->FindSubkey(component);
    if (next == nullptr) {
      if (key == Root()) return nullptr;
      next = AddSubkey(*key, component);
      if (created != nullptr) *created = true;
    } else if (created != nullptr) {
      *created = false;
    }
    key = std::move(next);
  }
  return key;
}

// By value: the caller's pointer may be the map entry that the erase destroys.
bool DeleteKey(std::shared_ptr<Key> key) {  // NOLINT(performance-unnecessary-value-param)
  if (key == nullptr || key->deleted || key->parent == nullptr || key->hive) return false;
  key->parent->subkeys.erase(FoldCase(key->name));
  MarkDeleted(*key);
  return true;
}

bool IsHive(const std::vector<std::u16string>& components) {
  if (components.size() == 1) {
    return EqualsIgnoringCase(components[0], kMachine) || EqualsIgnoringCase(components[0], kUser);
  }
  if (components.size() != 2 || !EqualsIgnoringCase(components[0], kMachine)) return false;
  for (const char16_t* name : kMachineHives) {
    if (EqualsIgnoringCase(components[1], name)) return true;
  }
  return false;
}

std::vector<std::uint8_t> StringData(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::u16string StringFromData(const std::vector<std::uint8_t>& data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

std::vector<std::u16string> SplitMultiString(const std::vector<std::uint8_t>& data) {
  std::vector<std::u16string> strings;
  std::u16string current;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c != 0) {
      current += c;
      continue;
    }
    if (current.empty()) return strings;
    strings.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) strings.push_back(std::move(current));
  return strings;
}

HANDLE OpenKeyHandle(std::shared_ptr<Key> key) {
  return InsertHandle(std::make_unique<KeyHandle>(std::move(key)));
}

NTSTATUS KeyOfHandle(HANDLE handle, std::shared_ptr<Key>* key) {
  HandleObject* object = LookupHandle(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  auto* keyHandle = dynamic_cast<KeyHandle*>(object);
  if (keyHandle == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  if (keyHandle->key()->deleted) return STATUS_KEY_DELETED;
  *key = keyHandle->key();
  return STATUS_SUCCESS;
}

NTSTATUS FindRtlKey(ULONG relativeTo, const WCHAR* path, std::shared_ptr<Key>* key) {
  const ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base == RTL_REGISTRY_HANDLE) {
    return KeyOfHandle(reinterpret_cast<HANDLE>(const_cast<WCHAR*>(path)), key);
  }
  if (base != RTL_REGISTRY_ABSOLUTE || path == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<std::u16string> components;
  if (NTSTATUS status = ParseAbsolutePath(WideView(path), &components); !NT_SUCCESS(status)) {
    return status;
  }
  *key = FindKey(Root(), components);
  return *key == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

std::u16string_view WideView(const WCHAR* text) {
  if (text == nullptr) return {};
  return std::u16string_view(text);
}

}  // namespace veltocam::host::registry
