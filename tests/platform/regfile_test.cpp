// .reg files: what an installer file sets, round trips of every value type in
// both encodings, deletion syntax, and rejection that names the line and
// leaves the store as it was.
#include "platform/host/regfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"

namespace {

namespace host = veltocam::host;

constexpr const char* kVelto = "\\Registry\\MACHINE\\SOFTWARE\\Velto";

std::string Utf16(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

std::string WholeStore() {
  return host::ExportRegText("\\Registry").text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RegFileImport, InstallerFileSetsTypedValues) {
  const std::string file =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; camera model settings\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\CONTROL]\r\n"
      "\"TotalSyncByte\"=dword:00000002\r\n"
      "\"SyncByte0\"=dword:FF\r\n"
      "@=\"default \\\"quoted\\\" C:\\\\path\"\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\Empty]\r\n";
  ASSERT_TRUE(host::ImportRegText(file));
  const std::string control = std::string(kVelto) + "\\CONTROL";
  EXPECT_EQ(host::GetRegistryDword(control, "TotalSyncByte"), 2u);
  EXPECT_EQ(host::GetRegistryDword(control, "SyncByte0"), 0xFFu);
  EXPECT_EQ(host::GetRegistryString(control, ""), "default \"quoted\" C:\\path");
  EXPECT_EQ(host::GetRegistryBinary(control, "Blob"), (std::vector<std::uint8_t>{1, 2, 3, 0xFF}));
  EXPECT_EQ(host::GetRegistryValue(control, "Expand")->type, 2u);
  EXPECT_EQ(host::GetRegistryString(control, "Expand"), "%A%");
  EXPECT_EQ(host::GetRegistryMultiString(control, "Multi"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(host::GetRegistryValue(control, "Qword")->type, 0xBu);
  EXPECT_TRUE(host::RegistryKeyExists(std::string(kVelto) + "\\Empty"));
}

TEST(RegFileImport, EncodingsAndRegedit4) {
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto]\n\"Name\"=\"Cam\"\n\"Path\"=hex(2):41,42,00\n";
  ASSERT_TRUE(host::ImportRegText(Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + body)));
  EXPECT_EQ(host::GetRegistryString(kVelto, "Name"), "Cam");
  // A 5.00 file holds UTF-16 in hex(2): these three bytes are one and a half characters.
  EXPECT_EQ(host::GetRegistryBinary(kVelto, "Path")->size(), 3u);

  ASSERT_TRUE(host::ImportRegText("\xEF\xBB\xBFREGEDIT4\n\n" + body));
  // REGEDIT4 wrote such strings in 8-bit characters.
  EXPECT_EQ(host::GetRegistryString(kVelto, "Path"), "AB");
  EXPECT_EQ(host::GetRegistryBinary(kVelto, "Path")->size(), 6u);

  ASSERT_TRUE(
      host::ImportRegText("Windows Registry Editor Version "
                          "5.00\n[HKEY_USERS\\S-1-5-18\\Velto]\n\"Name\"=\"caméra\"\n"));
  EXPECT_EQ(host::GetRegistryString("\\Registry\\USER\\S-1-5-18\\Velto", "Name"), "caméra");
}

TEST(RegFileImport, DeletionSyntax) {
  ASSERT_TRUE(host::SetRegistryDword(std::string(kVelto) + "\\A\\B", "x", 1));
  ASSERT_TRUE(host::SetRegistryDword(kVelto, "Keep", 1));
  ASSERT_TRUE(host::SetRegistryDword(kVelto, "Drop", 1));
  ASSERT_TRUE(host::SetRegistryString(kVelto, "", "default"));
  ASSERT_TRUE(
      host::ImportRegText("Windows Registry Editor Version 5.00\n"
                          "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\A]\n"
                          "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\NeverThere]\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto]\n"
                          "\"drop\"=-\n"
                          "@=-\n"
                          "\"Absent\"=-\n"));
  EXPECT_FALSE(host::RegistryKeyExists(std::string(kVelto) + "\\A"));
  const auto values = host::RegistryValues(kVelto);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Keep");
}

struct BadFile {
  const char* text;
  int line;
  const char* message;  // a part of the message
  bool whole = false;   // the text is the whole file, not lines after a valid start
};

void PrintTo(const BadFile& file, std::ostream* out) {
  *out << '"' << file.text << '"';
}

class RegFileRejects : public testing::TestWithParam<BadFile> {};

TEST_P(RegFileRejects, NamesTheLineAndChangesNothing) {
  ASSERT_TRUE(host::SetRegistryDword(kVelto, "Before", 7));
  const std::string before = WholeStore();
  // Four valid lines ahead of the fault (line 5), which must not be applied either.
  const std::string text = GetParam().whole ? std::string(GetParam().text)
                                            : "Windows Registry Editor Version 5.00\n\n"
                                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\New]\n"
                                              "\"Before\"=dword:00000001\n" +
                                                  std::string(GetParam().text);
  const host::RegFileResult result = host::ImportRegText(text);
  EXPECT_FALSE(result);
  EXPECT_EQ(result.line, GetParam().line) << result.message;
  EXPECT_NE(result.message.find(GetParam().message), std::string::npos) << result.message;
  EXPECT_EQ(result.message.rfind("line " + std::to_string(GetParam().line) + ": ", 0), 0u)
      << result.message;
  EXPECT_EQ(WholeStore(), before);
}

INSTANTIATE_TEST_SUITE_P(
    , RegFileRejects,
    testing::Values(
        BadFile{"", 1, "the file is empty", true},
        BadFile{"Windows Registry Editor Version 4.00\n", 1, "expected the header", true},
        BadFile{"[HKLM\\SOFTWARE\\X]\n", 5, "unknown root key \"HKLM\""},
        BadFile{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n", 5, "must end with ']'"},
        BadFile{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\X] junk\n", 5, "after ']'"},
        BadFile{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\X]\n", 5, "empty or over-long key name"},
        BadFile{"[-HKEY_LOCAL_MACHINE]\n", 5, "root key cannot be deleted"},
        BadFile{"[-HKEY_CLASSES_ROOT]\n", 5, "root key cannot be deleted"},
        BadFile{"[-HKEY_LOCAL_MACHINE\\software]\n", 5, "is a hive: it cannot be deleted"},
        BadFile{"\"v\"=dword:xyz\n", 5, "one to eight hex digits"},
        BadFile{"\"v\"=dword:123456789\n", 5, "one to eight hex digits"},
        BadFile{"\"v\"=hex:01,2g\n", 5, "expected ',' between hex bytes"},
        BadFile{"\"v\"=hex:01,\n", 5, "expected a hex byte after ','"},
        BadFile{"\"v\"=hex:01,\\\n  02,zz\n", 6, "expected a hex byte"},
        BadFile{"\"v\"=hex:01,\\\n", 5, "ends inside a continued hex list"},
        BadFile{"\"v\"=hex(xyz):01\n", 5, "hex(type)"},
        BadFile{"\"v\"=\"open\n", 5, "no closing quote"},
        BadFile{"\"v\"=\"a\\nb\"\n", 5, "unknown escape \\n"},
        BadFile{"\"v\"=\"a\" trailing\n", 5, "unexpected text after the value"},
        BadFile{"\"v\" dword:1\n", 5, "expected '='"}, BadFile{"\"v\"=\n", 5, "no data"},
        BadFile{"\"v\"=qword:1\n", 5, "unrecognised value data"},
        BadFile{"garbage\n", 5, "expected [key]"},
        BadFile{"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto]\n\"v\"=dword:1\n", 6, "deletes its key"}));

TEST(RegFileImport, ValuesBeforeAnyKeyAndUnreadableFiles) {
  const host::RegFileResult result =
      host::ImportRegText("Windows Registry Editor Version 5.00\n\n\"v\"=dword:1\n");
  EXPECT_EQ(result.line, 3);
  EXPECT_NE(result.message.find("before any [key]"), std::string::npos);

  const host::RegFileResult missing = host::ImportRegFile("/nonexistent/settings.reg");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.line, 0);
  EXPECT_NE(missing.message.find("/nonexistent/settings.reg"), std::string::npos);

  EXPECT_FALSE(host::ImportRegText("\xFE\xFF\0W"));
  EXPECT_FALSE(host::ImportRegText(std::string("\xFF\xFEW\0i", 5)));  // half a character
}

// A store with every kind of value, including data that "text" cannot hold.
void FillEveryType() {
  const std::string key = std::string(kVelto) + "\\Types";
  ASSERT_TRUE(host::SetRegistryDword(key, "Dword", 0xDEADBEEF));
  ASSERT_TRUE(host::SetRegistryString(key, "String", "quote \" backslash \\ ü ☃"));
  ASSERT_TRUE(host::SetRegistryString(key, "Empty", ""));
  ASSERT_TRUE(host::SetRegistryString(key, "", "the default"));
  ASSERT_TRUE(host::SetRegistryString(key, "Expand", "%SystemRoot%\\x", 2));
  ASSERT_TRUE(host::SetRegistryMultiString(key, "Multi", {"one", "two"}));
  std::vector<std::uint8_t> blob(100);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(host::SetRegistryBinary(key, "Blob", blob));
  ASSERT_TRUE(host::SetRegistryBinary(key, "NoBytes", {}));
  const std::uint8_t unterminated[] = {'a', 0, 'b', 0};
  ASSERT_TRUE(host::SetRegistryValue(key, "Unterminated", 1, unterminated));
  const std::uint8_t lineBreak[] = {'a', 0, '\n', 0, 0, 0};
  ASSERT_TRUE(host::SetRegistryValue(key, "LineBreak", 1, lineBreak));
  const std::uint8_t shortDword[] = {1, 2};
  ASSERT_TRUE(host::SetRegistryValue(key, "ShortDword", 4, shortDword));
  ASSERT_TRUE(host::SetRegistryValue(key, "None", 0, {}));
  ASSERT_TRUE(host::SetRegistryValue(key, "Custom", 0x123456, blob));
  ASSERT_TRUE(host::SetRegistryDword(key, "Name \"with\" \\ escapes", 1));
  ASSERT_TRUE(host::CreateRegistryKey(std::string(kVelto) + "\\Types\\Empty Key"));
  ASSERT_TRUE(host::SetRegistryDword(std::string(kVelto) + "\\b", "x", 1));
  ASSERT_TRUE(host::SetRegistryDword(std::string(kVelto) + "\\A", "x", 1));
  ASSERT_TRUE(host::SetRegistryDword("\\Registry\\USER\\S-1-5-18\\Velto", "User", 1));
}

class RegFileRoundTrip : public testing::TestWithParam<host::RegFileEncoding> {};

TEST_P(RegFileRoundTrip, ExportImportsBackToTheSameStore) {
  FillEveryType();
  const host::RegFileResult exported = host::ExportRegText("\\Registry", GetParam());
  ASSERT_TRUE(exported) << exported.message;
  const auto valuesBefore = host::RegistryValues(std::string(kVelto) + "\\Types");

  host::ResetRegistry();
  const host::RegFileResult imported = host::ImportRegText(exported.text);
  ASSERT_TRUE(imported) << imported.message;
  EXPECT_EQ(host::ExportRegText("\\Registry", GetParam()).text, exported.text);
  const auto valuesAfter = host::RegistryValues(std::string(kVelto) + "\\Types");
  ASSERT_EQ(valuesAfter.size(), valuesBefore.size());
  for (std::size_t i = 0; i < valuesBefore.size(); ++i) {
    EXPECT_EQ(valuesAfter[i].name, valuesBefore[i].name);
    EXPECT_EQ(valuesAfter[i].type, valuesBefore[i].type) << valuesBefore[i].name;
    EXPECT_EQ(valuesAfter[i].data, valuesBefore[i].data) << valuesBefore[i].name;
  }
}

INSTANTIATE_TEST_SUITE_P(, RegFileRoundTrip,
                         testing::Values(host::RegFileEncoding::Utf8,
                                         host::RegFileEncoding::Utf16));

TEST(RegFileExport, RegeditLayout) {
  FillEveryType();
  const host::RegFileResult utf8 = host::ExportRegText(kVelto);
  ASSERT_TRUE(utf8);
  const std::vector<std::string> lines = Lines(utf8.text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Windows Registry Editor Version 5.00");
  EXPECT_EQ(lines[2], "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto]");
  std::vector<std::string> keys;
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 80u) << line;
    if (!line.empty() && line[0] == '[') keys.push_back(line);
  }
  // Sorted without regard to case, each parent before its subkeys.
  EXPECT_EQ(keys,
            (std::vector<std::string>{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto]",
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\A]",
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\b]",
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\Types]",
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velto\\Types\\Empty Key]"}));
  EXPECT_NE(utf8.text.find("\n\"Dword\"=dword:deadbeef\n"), std::string::npos);
  EXPECT_NE(utf8.text.find("\n@=\"the default\"\n"), std::string::npos);
  EXPECT_NE(utf8.text.find("\n\"Unterminated\"=hex(1):61,00,62,00\n"), std::string::npos);

  const host::RegFileResult utf16 = host::ExportRegText(kVelto, host::RegFileEncoding::Utf16);
  ASSERT_TRUE(utf16);
  EXPECT_EQ(utf16.text.substr(0, 4), std::string("\xFF\xFEW\0", 4));
  EXPECT_NE(utf16.text.find(std::string("\r\0\n\0", 4)), std::string::npos);

  EXPECT_FALSE(host::ExportRegText("\\Registry\\MACHINE\\SOFTWARE\\Absent"));
  ASSERT_TRUE(host::SetRegistryDword(kVelto, "two\nlines", 1));
  const host::RegFileResult broken = host::ExportRegText(kVelto);
  EXPECT_FALSE(broken);
  EXPECT_NE(broken.message.find("line break"), std::string::npos);
}

TEST(RegFileExport, FileRoundTrip) {
  FillEveryType();
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("veltocam_regfile_" + std::to_string(::getpid()) + ".reg"))
                               .string();
  ASSERT_TRUE(host::ExportRegFile(kVelto, path, host::RegFileEncoding::Utf16));
  const std::string before = WholeStore();
  ASSERT_TRUE(host::DeleteRegistryKey(kVelto));
  ASSERT_TRUE(host::ImportRegFile(path));
  EXPECT_EQ(WholeStore(), before);
  std::filesystem::remove(path);
  EXPECT_FALSE(host::ExportRegFile(kVelto, "/nonexistent/dir/out.reg"));
}

}  // namespace
