// Reading .reg files: decode, parse every line into operations, and only
// then apply them, all under one hold of the registry lock.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/host/case_folding.h"
#include "platform/host/printf_engine.h"
#include "platform/host/regfile.h"
#include "platform/host/registry_tree.h"

namespace veltocam::host {
namespace {

struct Operation {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::vector<std::u16string> key;  // components below "\Registry"
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<std::uint8_t> data;
};

struct ParseError {
  int line;
  std::string what;
};

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

std::string Quote(std::u16string_view text) {
  return "\"" + ToUtf8(std::u16string(text)) + "\"";
}

// The registry paths the .reg hive names stand for.
std::optional<std::vector<std::u16string>> HiveComponents(std::u16string_view hive) {
  if (EqualsIgnoringCase(hive, u"HKEY_LOCAL_MACHINE")) return {{u"MACHINE"}};
  if (EqualsIgnoringCase(hive, u"HKEY_USERS")) return {{u"USER"}};
  if (EqualsIgnoringCase(hive, u"HKEY_CLASSES_ROOT")) {
    return {{u"MACHINE", u"SOFTWARE", u"Classes"}};
  }
  if (EqualsIgnoringCase(hive, u"HKEY_CURRENT_CONFIG")) {
    return {{u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"}};
  }
  return std::nullopt;
}

std::optional<std::u16string> Decode(std::string_view bytes, std::string* error) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      *error = "the UTF-16 text ends in half a character";
      return std::nullopt;
    }
    std::u16string text;
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
      text += static_cast<char16_t>(byte(i) | byte(i + 1) << 8);
    }
    return text;
  }
  if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
    *error = "UTF-16 big-endian text is not supported; save it as UTF-16LE or UTF-8";
    return std::nullopt;
  }
  if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    bytes.remove_prefix(3);
  }
  return FromUtf8(std::string(bytes));
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\n' && text[i] != u'\r') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class Parser {
 public:
  explicit Parser(std::vector<std::u16string> lines) : lines_(std::move(lines)) {}

  std::optional<ParseError> Run(std::vector<Operation>* operations) {
    operations_ = operations;
    if (lines_.empty()) return ParseError{1, "the file is empty"};
    std::u16string_view header = lines_[0];
    while (!header.empty() && IsBlank(header.back())) header.remove_suffix(1);
    if (header == u"Windows Registry Editor Version 5.00") {
      regedit4_ = false;
    } else if (header == u"REGEDIT4") {
      regedit4_ = true;
    } else {
      return ParseError{1,
                        "expected the header \"Windows Registry Editor Version 5.00\" or "
                        "\"REGEDIT4\""};
    }
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      line_ = lines_[index_];
      pos_ = 0;
      SkipBlanks();
      if (AtEnd() || Peek() == u';') continue;
      std::optional<std::string> error;
      if (Peek() == u'[') {
        error = KeyLine();
      } else if (Peek() == u'"' || Peek() == u'@') {
        error = ValueLine();
      } else {
        error = "expected [key], \"name\"=value, @=value or a ; comment";
      }
      // A continued hex list moves index_ on: the fault is on the line read last.
      if (error) return ParseError{static_cast<int>(index_ + 1), *error};
    }
    return std::nullopt;
  }

 private:
  bool AtEnd() const { return pos_ >= line_.size(); }
  char16_t Peek() const { return line_[pos_]; }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(Peek())) ++pos_;
  }
  // Only blanks or a comment may follow data.
  bool RestIsEmpty() {
    SkipBlanks();
    return AtEnd() || Peek() == u';';
  }

  std::optional<std::string> KeyLine() {
    const std::size_t close = line_.rfind(u']');
    if (close == std::u16string_view::npos) return "a key line must end with ']'";
    for (std::size_t i = close + 1; i < line_.size(); ++i) {
      if (!IsBlank(line_[i])) return "unexpected text after ']'";
    }
    std::u16string_view path = line_.substr(pos_ + 1, close - pos_ - 1);
    const bool remove = !path.empty() && path.front() == u'-';
    if (remove) path.remove_prefix(1);
    const std::size_t slash = path.find(u'\\');
    const std::u16string_view hive = path.substr(0, slash);
    std::optional<std::vector<std::u16string>> key = HiveComponents(hive);
    if (!key) {
      return "unknown root key " + Quote(hive) +
             " (expected HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT or HKEY_CURRENT_CONFIG)";
    }
    if (slash != std::u16string_view::npos) {
      std::vector<std::u16string> below;
      if (!NT_SUCCESS(registry::ParseRelativePath(path.substr(slash + 1), &below)) ||
          below.empty()) {
        return "empty or over-long key name in " + Quote(path);
      }
      key->insert(key->end(), below.begin(), below.end());
    }
    if (remove && slash == std::u16string_view::npos) return "a root key cannot be deleted";
    if (remove && registry::IsHive(*key)) return Quote(path) + " is a hive: it cannot be deleted";
    key_ = *key;
    keyDeleted_ = remove;
    operations_->push_back({remove ? Operation::DeleteKey : Operation::CreateKey, *key, {}, 0, {}});
    return std::nullopt;
  }

  // A quoted string with \\ and \" escapes; pos_ is on the opening quote.
  std::optional<std::string> QuotedString(std::u16string* text, const char* what) {
    ++pos_;
    for (; !AtEnd(); ++pos_) {
      const char16_t c = Peek();
      if (c == u'"') {
        ++pos_;
        return std::nullopt;
      }
      if (c == u'\\') {
        if (pos_ + 1 >= line_.size()) break;
        const char16_t next = line_[++pos_];
        if (next != u'\\' && next != u'"') {
          return std::string("unknown escape \\") + ToUtf8(std::u16string(1, next)) + " in the " +
                 what + " (only \\\\ and \\\" are known)";
        }
        *text += next;
        continue;
      }
      *text += c;
    }
    return std::string("the ") + what + " has no closing quote";
  }

  std::optional<std::string> ValueLine() {
    if (!key_) return "a value line comes before any [key] line";
    if (keyDeleted_) return "a value line under a [-key] that deletes its key";
    std::u16string name;
    if (Peek() == u'@') {
      ++pos_;
    } else if (auto error = QuotedString(&name, "value name")) {
      return error;
    }
    if (name.size() > registry::kMaxValueNameLength) return "the value name is too long";
    SkipBlanks();
    if (AtEnd() || Peek() != u'=') return "expected '=' after the value name";
    ++pos_;
    SkipBlanks();
    Operation op{Operation::SetValue, *key_, name, REG_SZ, {}};
    if (AtEnd()) return "the value has no data after '='";
    if (Peek() == u'-') {
      ++pos_;
      op.kind = Operation::DeleteValue;
    } else if (Peek() == u'"') {
      std::u16string text;
      if (auto error = QuotedString(&text, "string")) return error;
      op.data = registry::StringData(text);
    } else if (StartsWith(u"dword:")) {
      if (auto error = Dword(&op)) return error;
    } else if (StartsWith(u"hex")) {
      if (auto error = Hex(&op)) return error;
    } else {
      return "unrecognised value data (expected \"text\", dword:, hex:, hex(type): or -)";
    }
    if (!RestIsEmpty()) return "unexpected text after the value";
    operations_->push_back(std::move(op));
    return std::nullopt;
  }

  bool StartsWith(std::u16string_view prefix) const {
    return line_.size() - pos_ >= prefix.size() &&
           EqualsIgnoringCase(line_.substr(pos_, prefix.size()), prefix);
  }

  // Up to `maxDigits` hex digits; false when there are none or too many.
  bool HexNumber(std::size_t maxDigits, ULONG* value) {
    const std::size_t start = pos_;
    *value = 0;
    while (!AtEnd() && HexDigit(Peek()) >= 0) *value = (*value << 4) | HexDigit(line_[pos_++]);
    return pos_ > start && pos_ - start <= maxDigits;
  }

  std::optional<std::string> Dword(Operation* op) {
    pos_ += 6;
    ULONG value;
    if (!HexNumber(8, &value)) return "a dword needs one to eight hex digits";
    op->type = REG_DWORD;
    op->data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return std::nullopt;
  }

  std::optional<std::string> Hex(Operation* op) {
    pos_ += 3;
    op->type = REG_BINARY;
    if (!AtEnd() && Peek() == u'(') {
      ++pos_;
      if (!HexNumber(8, &op->type) || AtEnd() || Peek() != u')') {
        return "hex(type) needs a type of one to eight hex digits";
      }
      ++pos_;
    }
    if (AtEnd() || Peek() != u':') return "expected ':' after hex";
    ++pos_;
    if (auto error = HexBytes(&op->data)) return error;
    // REGEDIT4 wrote these strings in the 8-bit code page.
    if (regedit4_ && (op->type == REG_EXPAND_SZ || op->type == REG_MULTI_SZ)) {
      std::vector<std::uint8_t> wide;
      for (std::uint8_t b : op->data) wide.insert(wide.end(), {b, 0});
      op->data = std::move(wide);
    }
    return std::nullopt;
  }

  // "xx,xx,..." with a trailing backslash continuing the list on the next line.
  std::optional<std::string> HexBytes(std::vector<std::uint8_t>* data) {
    bool needByte = false;  // after a comma
    for (;;) {
      SkipBlanks();
      if (AtEnd() || Peek() == u';') {
        if (needByte) return "expected a hex byte after ','";
        return std::nullopt;
      }
      if (Peek() == u'\\') {
        ++pos_;
        if (!RestIsEmpty()) return "unexpected text after the line-continuing '\\'";
        if (index_ + 1 >= lines_.size()) return "the file ends inside a continued hex list";
        line_ = lines_[++index_];
        pos_ = 0;
        continue;
      }
      ULONG value;
      if (!HexNumber(2, &value)) return "expected a hex byte (two hex digits)";
      data->push_back(static_cast<std::uint8_t>(value));
      SkipBlanks();
      needByte = !AtEnd() && Peek() == u',';
      if (needByte) {
        ++pos_;
      } else if (!AtEnd() && Peek() != u'\\' && Peek() != u';') {
        return "expected ',' between hex bytes";
      }
    }
  }

  std::vector<std::u16string> lines_;
  std::vector<Operation>* operations_ = nullptr;
  std::size_t index_ = 0;
  std::u16string_view line_;
  std::size_t pos_ = 0;
  bool regedit4_ = false;
  std::optional<std::vector<std::u16string>> key_;
  bool keyDeleted_ = false;
};

void Apply(const std::vector<Operation>& operations) {
  std::lock_guard lock(registry::Lock());
  const std::shared_ptr<registry::Key>& root = registry::Root();
  for (const Operation& op : operations) {
    switch (op.kind) {
      case Operation::CreateKey:
        registry::CreateKey(root, op.key);
        break;
      case Operation::DeleteKey:
        registry::DeleteKey(registry::FindKey(root, op.key));
        break;
      case Operation::SetValue:
        if (auto key = registry::CreateKey(root, op.key)) key->SetValue(op.name, op.type, op.data);
        break;
      case Operation::DeleteValue:
        if (auto key = registry::FindKey(root, op.key)) key->DeleteValue(op.name);
        break;
    }
  }
}

RegFileResult Failure(int line, std::string what) {
  RegFileResult result;
  result.ok = false;
  result.line = line;
  result.message = line > 0 ? "line " + std::to_string(line) + ": " + what : std::move(what);
  return result;
}

}  // namespace

RegFileResult ImportRegText(std::string_view bytes) {
  std::string error;
  std::optional<std::u16string> text = Decode(bytes, &error);
  if (!text) return Failure(0, error);
  std::vector<Operation> operations;
  if (std::optional<ParseError> fault = Parser(SplitLines(*text)).Run(&operations)) {
    return Failure(fault->line, fault->what);
  }
  Apply(operations);
  return {};
}

RegFileResult ImportRegFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Failure(0, path + ": cannot be read: " + std::strerror(errno));
  std::ostringstream content;
  content << file.rdbuf();
  RegFileResult result = ImportRegText(content.str());
  if (!result) result.message = path + ": " + result.message;
  return result;
}

}  // namespace veltocam::host
