// The host registry as programs and tests see it: an in-memory store behind
// the platform's registry routines. Paths are absolute kernel paths in UTF-8
// ("\Registry\MACHINE\SOFTWARE\Vendor\Camera"); key and value names are
// matched without regard to case and keep the case they were created with.
// "\Registry" holds the hives MACHINE (with HARDWARE, SOFTWARE and SYSTEM)
// and USER; new keys go below those.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace veltocam::host {

struct RegistryValue {
  std::string name;  // "" is the key's default value
  ULONG type;        // REG_DWORD, REG_SZ, ... or any other number
  std::vector<std::uint8_t> data;
};

// Back to the empty hives. Open key handles then refer to deleted keys.
void ResetRegistry();

// Creates the key and every missing key above it; false for a path that is
// not below a hive.
bool CreateRegistryKey(std::string_view path);
bool RegistryKeyExists(std::string_view path);
// Deletes the key with everything below it; false when it does not exist or
// is a hive (the hives cannot be deleted).
bool DeleteRegistryKey(std::string_view path);

// Setters create the key when needed; false only for a bad path or "\Registry"
// itself, which holds no values.
bool SetRegistryValue(std::string_view path, std::string_view name, ULONG type,
                      std::span<const std::uint8_t> data);
bool SetRegistryDword(std::string_view path, std::string_view name, std::uint32_t value);
// REG_SZ or REG_EXPAND_SZ: stored as UTF-16 with its terminating NUL.
bool SetRegistryString(std::string_view path, std::string_view name, std::string_view text,
                       ULONG type = REG_SZ);
bool SetRegistryMultiString(std::string_view path, std::string_view name,
                            const std::vector<std::string>& strings);
bool SetRegistryBinary(std::string_view path, std::string_view name,
                       std::span<const std::uint8_t> data);

std::optional<RegistryValue> GetRegistryValue(std::string_view path, std::string_view name);
// Only a REG_DWORD of four bytes.
std::optional<std::uint32_t> GetRegistryDword(std::string_view path, std::string_view name);
// Only REG_SZ or REG_EXPAND_SZ; the text up to the first NUL.
std::optional<std::string> GetRegistryString(std::string_view path, std::string_view name);
std::optional<std::vector<std::string>> GetRegistryMultiString(std::string_view path,
                                                               std::string_view name);
// Any type: the data as stored.
std::optional<std::vector<std::uint8_t>> GetRegistryBinary(std::string_view path,
                                                           std::string_view name);

bool DeleteRegistryValue(std::string_view path, std::string_view name);

// Names of the subkeys, sorted without regard to case; values in the order
// they were first set. Both empty when the key does not exist.
std::vector<std::string> RegistrySubkeys(std::string_view path);
std::vector<RegistryValue> RegistryValues(std::string_view path);

}  // namespace veltocam::host
