// The registry's in-memory tree, shared by the host's registry routines, the
// host API and the .reg reader and writer. One lock guards the whole tree:
// the real-time scheduler runs work items on their own threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/handles.h"
#include "platform/registry.h"

namespace veltocam::host::registry {

// Windows limits key names to 255 and value names to 16383 characters.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

struct Value {
  std::u16string name;  // "" is the key's default value
  ULONG type = REG_NONE;
  std::vector<std::uint8_t> data;
};

struct Key {
  std::u16string name;  // as first created
  Key* parent = nullptr;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
  std::vector<Value> values;  // in the order they were first set, as regedit lists them
  bool deleted = false;       // unlinked while a handle still held it
  bool hive = false;          // a hive's top key: never deleted

  const Value* FindValue(std::u16string_view valueName) const;
  std::shared_ptr<Key> FindSubkey(std::u16string_view keyName) const;
  // Replaces the data of an existing value (keeping its place and name) or
  // appends a new one.
  void SetValue(std::u16string_view valueName, ULONG type, std::vector<std::uint8_t> data);
  bool DeleteValue(std::u16string_view valueName);
};

// Caller holds this for every operation below.
std::mutex& Lock();

// The "\Registry" node; its only children are the hives MACHINE and USER.
const std::shared_ptr<Key>& Root();
// Whether values may be set on the key: not on "\Registry", which holds only
// the hives and which no export of the store writes.
bool TakesValues(const std::shared_ptr<Key>& key);

// Back to the empty hives with their usual top-level keys.
void ResetTreeLocked();

// The components below "\Registry" of an absolute path ("\Registry" itself
// gives none), with the object manager's answers for bad paths:
// STATUS_OBJECT_PATH_SYNTAX_BAD without a leading backslash,
// STATUS_OBJECT_NAME_INVALID for an empty or over-long component,
// STATUS_OBJECT_PATH_NOT_FOUND outside "\Registry".
NTSTATUS ParseAbsolutePath(std::u16string_view path, std::vector<std::u16string>* components);
// A path relative to an open key ("" names the key itself).
NTSTATUS ParseRelativePath(std::u16string_view path, std::vector<std::u16string>* components);

// Walks from `start`; null when a component is missing.
std::shared_ptr<Key> FindKey(const std::shared_ptr<Key>& start,
                             const std::vector<std::u16string>& components);
// Walks from `start`, creating what is missing. Fails (null) where a new key
// would go straight under "\Registry", which holds only the hives, or under a
// deleted key. `created` tells whether the last component was new.
std::shared_ptr<Key> CreateKey(const std::shared_ptr<Key>& start,
                               const std::vector<std::u16string>& components,
                               bool* created = nullptr);
// Unlinks the key with its subtree; keys still held by handles are marked
// deleted. The hives and "\Registry" cannot be deleted.
bool DeleteKey(std::shared_ptr<Key> key);
// Whether the components below "\Registry" name a hive: MACHINE, USER, and
// the machine's HARDWARE, SOFTWARE and SYSTEM, which the system mounts.
bool IsHive(const std::vector<std::u16string>& components);

// UTF-16 string data as the registry stores it: the characters and a NUL.
std::vector<std::uint8_t> StringData(std::u16string_view text);
// The characters of string data, up to the first NUL or the end.
std::u16string StringFromData(const std::vector<std::uint8_t>& data);
// The strings of REG_MULTI_SZ data: ended by an empty string or by the end of
// the data (an unterminated last string counts).
std::vector<std::u16string> SplitMultiString(const std::vector<std::uint8_t>& data);

// An open key. The key stays valid after it is deleted, marked as such.
class KeyHandle : public HandleObject {
 public:
  explicit KeyHandle(std::shared_ptr<Key> key) : key_(std::move(key)) {}
  const std::shared_ptr<Key>& key() const { return key_; }

 private:
  std::shared_ptr<Key> key_;
};

HANDLE OpenKeyHandle(std::shared_ptr<Key> key);
// The key behind a handle: STATUS_INVALID_HANDLE when there is no such
// handle, STATUS_OBJECT_TYPE_MISMATCH when it is not a key,
// STATUS_KEY_DELETED when the key was deleted.
NTSTATUS KeyOfHandle(HANDLE handle, std::shared_ptr<Key>* key);

// The key an Rtl registry routine names: `path` is an absolute path, or the
// key handle itself with RTL_REGISTRY_HANDLE. STATUS_OBJECT_NAME_NOT_FOUND
// when it does not exist. Caller holds the lock.
NTSTATUS FindRtlKey(ULONG relativeTo, const WCHAR* path, std::shared_ptr<Key>* key);

// A NUL-terminated wide string ("" for null).
std::u16string_view WideView(const WCHAR* text);

}  // namespace veltocam::host::registry
