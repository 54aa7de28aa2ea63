// Windows .reg files in and out of the host registry: how a camera model's
// installer settings reach the store, and how a store is saved.
//
// Import reads "Windows Registry Editor Version 5.00" and "REGEDIT4" files in
// UTF-16LE with a byte-order mark or UTF-8 with or without one, CRLF or LF:
// [HKEY_LOCAL_MACHINE\...] and [HKEY_USERS\...] sections (HKEY_CLASSES_ROOT
// and HKEY_CURRENT_CONFIG name their keys under HKEY_LOCAL_MACHINE),
// [-KEY] to delete a key (a file that names a root key or a hive there is
// malformed), "Name"="text" with \\ and \" escapes, @= for the default value,
// dword:, hex: and hex(N): data continued over lines with a trailing
// backslash, "Name"=- to delete a value, ';' comments. A malformed file
// changes nothing: it is read whole before the store is touched.
//
// Export writes a subtree in the 5.00 format: keys sorted, values in their
// order, strings as text where that reads back unchanged, otherwise hex(N).
#pragma once

#include <string>
#include <string_view>

namespace veltocam::host {

struct RegFileResult {
  bool ok = true;
  int line = 0;         // import: the line at fault; 0 when the fault is not a line's
  std::string message;  // what is wrong, starting with "line N: " when it is a line's
  std::string text;     // ExportRegText: the file's bytes

  explicit operator bool() const { return ok; }
};

// `bytes` is the file's content as read, in any of the encodings above.
RegFileResult ImportRegText(std::string_view bytes);
// The message then starts with the file's path.
RegFileResult ImportRegFile(const std::string& path);

enum class RegFileEncoding {
  Utf8,   // no byte-order mark, LF line ends: what the veltocam tool writes
  Utf16,  // UTF-16LE with a byte-order mark, CRLF line ends: what regedit writes
};

// `rootPath` is an absolute key path; "\Registry" exports both hives.
RegFileResult ExportRegText(std::string_view rootPath,
                            RegFileEncoding encoding = RegFileEncoding::Utf8);
RegFileResult ExportRegFile(std::string_view rootPath, const std::string& path,
                            RegFileEncoding encoding = RegFileEncoding::Utf8);

}  // namespace veltocam::host
