// Writing .reg files in the 5.00 format, so that importing the text gives back
// the same keys and values.
#include <cstdio>
#include <fstream>

#include "platform/host/printf_engine.h"
#include "platform/host/regfile.h"
#include "platform/host/registry_tree.h"

namespace veltocam::host {
namespace {

using registry::Key;
using registry::Value;

constexpr std::size_t kLineWidth = 80;  // as regedit wraps hex lists

bool HasLineBreak(std::u16string_view text) {
  return text.find_first_of(u"\r\n") != std::u16string_view::npos;
}

std::u16string Escaped(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out;
}

std::u16string Ascii(const char* text) {
  std::u16string out;
  while (*text != 0) out += static_cast<char16_t>(*text++);
  return out;
}

// String data reads back unchanged from "text" only when it is whole
// characters ending in the one NUL, with no line break inside.
bool PrintableAsText(const Value& value) {
  if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return false;
  const std::u16string text = registry::StringFromData(value.data);
  return (text.size() + 1) * 2 == value.data.size() && !HasLineBreak(text);
}

void AppendHex(std::u16string* out, const std::u16string& prefix,
               const std::vector<std::uint8_t>& data) {
  std::size_t column = prefix.size();
  *out += prefix;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool last = i + 1 == data.size();
    // Room for "xx," and the continuing backslash.
    if (column + 4 > kLineWidth) {
      *out += u"\\\n  ";
      column = 2;
    }
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    *out += Ascii(byte);
    if (!last) *out += u',';
    column += last ? 2 : 3;
  }
  *out += u'\n';
}

void AppendValue(std::u16string* out, const Value& value) {
  const std::u16string name = value.name.empty() ? u"@" : u"\"" + Escaped(value.name) + u"\"";
  if (PrintableAsText(value)) {
    *out += name + u"=\"" + Escaped(registry::StringFromData(value.data)) + u"\"\n";
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const auto& d = value.data;
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x",
                  static_cast<unsigned>(d[0] | d[1] << 8 | d[2] << 16) | static_cast<unsigned>(d[3])
                                                                             << 24);
    *out += name + u"=" + Ascii(text) + u"\n";
  } else if (value.type == REG_BINARY) {
    AppendHex(out, name + u"=hex:", value.data);
  } else {
    char type[24];
    std::snprintf(type, sizeof type, "=hex(%x):", static_cast<unsigned>(value.type));
    AppendHex(out, name + Ascii(type), value.data);
  }
}

// One section per key, the key's values in their order, then its subkeys in
// sorted order. Caller holds the lock.
std::optional<std::string> AppendTree(std::u16string* out, const Key& key,
                                      const std::u16string& regPath) {
  for (const Value& value : key.values) {
    if (HasLineBreak(value.name)) {
      return "the value name " + ToUtf8(value.name) + " under " + ToUtf8(regPath) +
             " has a line break, which a .reg file cannot hold";
    }
  }
  *out += u"[" + regPath + u"]\n";
  for (const Value& value : key.values) AppendValue(out, value);
  *out += u'\n';
  for (const auto& [folded, child] : key.subkeys) {
    if (HasLineBreak(child->name)) {
      return "a key name under " + ToUtf8(regPath) + " has a line break";
    }
    if (auto error = AppendTree(out, *child, regPath + u"\\" + child->name)) return error;
  }
  return std::nullopt;
}

// The .reg name of a key: its hive's name and the path below it.
std::u16string RegPath(const Key& key) {
  std::vector<const Key*> chain;
  for (const Key* k = &key; k->parent != nullptr; k = k->parent) chain.push_back(k);
  std::u16string path = chain.back()->name == u"MACHINE" ? u"HKEY_LOCAL_MACHINE" : u"HKEY_USERS";
  for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) path += u"\\" + (*it)->name;
  return path;
}

std::string Encode(const std::u16string& text, RegFileEncoding encoding) {
  if (encoding == RegFileEncoding::Utf8) return ToUtf8(text);
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    if (c == u'\n') bytes.append("\r\0", 2);
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

RegFileResult Failure(std::string message) {
  RegFileResult result;
  result.ok = false;
  result.message = std::move(message);
  return result;
}

}  // namespace

RegFileResult ExportRegText(std::string_view rootPath, RegFileEncoding encoding) {
  std::vector<std::u16string> components;
  const std::u16string root16 = FromUtf8(std::string(rootPath));
  if (!NT_SUCCESS(registry::ParseAbsolutePath(root16, &components))) {
    return Failure("\"" + std::string(rootPath) + "\" is not a registry path");
  }
  std::u16string text = u"Windows Registry Editor Version 5.00\n\n";
  {
    std::lock_guard lock(registry::Lock());
    std::shared_ptr<Key> key = registry::FindKey(registry::Root(), components);
    if (key == nullptr) return Failure("no key \"" + std::string(rootPath) + "\"");
    std::vector<const Key*> tops;
    if (key == registry::Root()) {
      for (const auto& [folded, hive] : key->subkeys) tops.push_back(hive.get());
    } else {
      tops.push_back(key.get());
    }
    for (const Key* top : tops) {
      if (auto error = AppendTree(&text, *top, RegPath(*top))) return Failure(*error);
    }
  }
  RegFileResult result;
  result.text = Encode(text, encoding);
  return result;
}

RegFileResult ExportRegFile(std::string_view rootPath, const std::string& path,
                            RegFileEncoding encoding) {
  RegFileResult result = ExportRegText(rootPath, encoding);
  if (!result) return result;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(result.text.data(), static_cast<std::streamsize>(result.text.size()));
  file.close();
  if (!file) return Failure(path + ": cannot be written");
  return result;
}

}  // namespace veltocam::host
