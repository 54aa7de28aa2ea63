// Files below "\SystemRoot\": create dispositions, positions, access checks,
// name mapping and injected faults.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/files_host.h"
#include "platform/host/registry_store.h"
#include "platform/kernel.h"
#include "support/test_directory.h"

namespace {

namespace fs = std::filesystem;
namespace host = veltocam::host;

class Files : public testing::Test {
 protected:
  void SetUp() override {
    root_ = veltocam::test::FreshTestDirectory("veltocam_files_");
    host::SetSystemRoot(root_.string());
  }
  void TearDown() override { fs::remove_all(root_); }

  NTSTATUS Create(const WCHAR* name, ULONG disposition, HANDLE* handle,
                  ACCESS_MASK access = GENERIC_WRITE, ULONG attributes = OBJ_CASE_INSENSITIVE,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, name);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &path, attributes, nullptr, nullptr);
    status_ = {STATUS_PENDING, 0xBAD};
    return ZwCreateFile(handle, access, &objectAttributes, &status_, nullptr, FILE_ATTRIBUTE_NORMAL,
                        0, disposition, options, nullptr, 0);
  }

  NTSTATUS Write(HANDLE handle, const std::string& data, LARGE_INTEGER* offset = nullptr) {
    return ZwWriteFile(handle, nullptr, nullptr, nullptr, &status_, data.data(),
                       static_cast<ULONG>(data.size()), offset, nullptr);
  }

  void Put(const std::string& name, const std::string& content) {
    std::ofstream(root_ / name, std::ios::binary) << content;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(root_ / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  fs::path root_;
  IO_STATUS_BLOCK status_{};
};

struct DispositionCase {
  ULONG disposition;
  bool exists;
  NTSTATUS status;
  ULONG_PTR information;
  const char* contentAfter;  // after writing "new" when the create succeeded
};

class FileDispositions : public Files, public testing::WithParamInterface<DispositionCase> {};

TEST_P(FileDispositions, StatusInformationAndContent) {
  const DispositionCase& c = GetParam();
  if (c.exists) Put("snap.dat", "old content");
  HANDLE handle = nullptr;
  EXPECT_EQ(Create(u"\\SystemRoot\\snap.dat", c.disposition, &handle), c.status);
  EXPECT_EQ(status_.Status, c.status);
  EXPECT_EQ(status_.Information, c.information);
  if (NT_SUCCESS(c.status)) {
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Write(handle, "new"), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  } else {
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(fs::exists(root_ / "snap.dat"), c.contentAfter != nullptr);
  if (c.contentAfter != nullptr) {
    EXPECT_EQ(Get("snap.dat"), c.contentAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , FileDispositions,
    testing::Values(
        DispositionCase{FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, "new"},
        DispositionCase{FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, "new"},
        DispositionCase{FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "new content"},
        DispositionCase{FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST,
                        nullptr},
        DispositionCase{FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS,
                        "old content"},
        DispositionCase{FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, "new"},
        DispositionCase{FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "new content"},
        DispositionCase{FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, "new"},
        DispositionCase{FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, "new"},
        DispositionCase{FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST,
                        nullptr},
        DispositionCase{FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, "new"},
        DispositionCase{FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, "new"}));

TEST_F(Files, PositionsOffsetsAndEndOfFile) {
  HANDLE handle;
  ASSERT_EQ(
      Create(u"\\SystemRoot\\data.bin", FILE_OVERWRITE_IF, &handle, GENERIC_READ | GENERIC_WRITE),
      STATUS_SUCCESS);
  EXPECT_EQ(Write(handle, "abc"), STATUS_SUCCESS);
  EXPECT_EQ(status_.Information, 3u);
  EXPECT_EQ(Write(handle, "def"), STATUS_SUCCESS);  // follows the first write
  LARGE_INTEGER offset;
  offset.QuadPart = 1;
  EXPECT_EQ(Write(handle, "X", &offset), STATUS_SUCCESS);
  offset.QuadPart = FILE_WRITE_TO_END_OF_FILE;
  EXPECT_EQ(Write(handle, "!", &offset), STATUS_SUCCESS);
  EXPECT_EQ(Get("data.bin"), "aXcdef!");

  char buffer[16] = {};
  offset.QuadPart = 4;
  ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &status_, buffer, sizeof buffer, &offset,
                       nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(status_.Information, 3u);  // what there was up to the end
  EXPECT_EQ(std::string(buffer, 3), "ef!");
  EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &status_, buffer, sizeof buffer, nullptr,
                       nullptr),
            STATUS_END_OF_FILE);
  EXPECT_EQ(status_.Information, 0u);
  offset.QuadPart = -5;
  EXPECT_EQ(Write(handle, "x", &offset), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

  // Without synchronous I/O there is no current position to write at.
  ASSERT_EQ(
      Create(u"\\SystemRoot\\data.bin", FILE_OPEN, &handle, GENERIC_WRITE, OBJ_CASE_INSENSITIVE, 0),
      STATUS_SUCCESS);
  EXPECT_EQ(Write(handle, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Get("data.bin"), "aXcdef!");
}

TEST_F(Files, AccessChecks) {
  Put("data.bin", "content");
  HANDLE reader, writer;
  ASSERT_EQ(Create(u"\\SystemRoot\\data.bin", FILE_OPEN, &reader, GENERIC_READ), STATUS_SUCCESS);
  ASSERT_EQ(Create(u"\\SystemRoot\\data.bin", FILE_OPEN, &writer, GENERIC_WRITE), STATUS_SUCCESS);
  EXPECT_EQ(Write(reader, "x"), STATUS_ACCESS_DENIED);
  char buffer[4];
  EXPECT_EQ(ZwReadFile(writer, nullptr, nullptr, nullptr, &status_, buffer, sizeof buffer, nullptr,
                       nullptr),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(Get("data.bin"), "content");
  EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(writer), STATUS_SUCCESS);

  // A registry key is not a file, nor a file a key.
  ASSERT_TRUE(host::CreateRegistryKey("\\Registry\\MACHINE\\SOFTWARE\\Velto"));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Registry\\MACHINE\\SOFTWARE\\Velto");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  EXPECT_EQ(Write(key, "x"), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(Write(key, "x"), STATUS_INVALID_HANDLE);
}

TEST_F(Files, NamesMapIntoTheSystemRootOnly) {
  Put("Snap.DAT", "old");
  fs::create_directory(root_ / "System32");
  HANDLE handle;
  ASSERT_EQ(Create(u"\\SYSTEMROOT\\snap.dat", FILE_OVERWRITE_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(status_.Information, FILE_OVERWRITTEN);  // the existing file, whatever its case
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Get("Snap.DAT"), "");
  EXPECT_FALSE(fs::exists(root_ / "snap.dat"));

  ASSERT_EQ(Create(u"\\SystemRoot\\system32\\Drivers.txt", FILE_CREATE, &handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_TRUE(fs::exists(root_ / "System32" / "Drivers.txt"));

  // Without OBJ_CASE_INSENSITIVE only the exact name is the same file.
  ASSERT_EQ(Create(u"\\SystemRoot\\snap.dat", FILE_CREATE, &handle, GENERIC_WRITE, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_TRUE(fs::exists(root_ / "snap.dat"));

  EXPECT_EQ(Create(u"\\SystemRoot\\missing\\x.dat", FILE_CREATE, &handle),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(u"\\SystemRoot\\..\\escape.dat", FILE_CREATE, &handle),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\SystemRoot\\a/b", FILE_CREATE, &handle), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\SystemRoot\\System32", FILE_OPEN, &handle), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Create(u"\\??\\C:\\snap.dat", FILE_CREATE, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(u"\\DosDevices\\C:\\snap.dat", FILE_CREATE, &handle),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(root_.parent_path() / "escape.dat"));

  host::SetSystemRoot("");
  EXPECT_EQ(Create(u"\\SystemRoot\\snap.dat", FILE_OVERWRITE_IF, &handle),
            STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(Files, InjectedFaultsFailWithoutSideEffects) {
  host::InjectFileFault(host::FileOperation::Create, STATUS_ACCESS_DENIED, 2);
  HANDLE handle;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(Create(u"\\SystemRoot\\snap.dat", FILE_OVERWRITE_IF, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_FALSE(fs::exists(root_ / "snap.dat"));
  ASSERT_EQ(Create(u"\\SystemRoot\\snap.dat", FILE_OVERWRITE_IF, &handle), STATUS_SUCCESS);
  EXPECT_EQ(host::FileOperationCount(host::FileOperation::Create), 3u);

  host::InjectFileFault(host::FileOperation::Write, STATUS_DISK_FULL);
  EXPECT_EQ(Write(handle, "data"), STATUS_DISK_FULL);
  EXPECT_EQ(Write(handle, "data"), STATUS_DISK_FULL);  // until cleared
  EXPECT_EQ(status_.Information, 0u);
  host::ClearFileFaults();
  EXPECT_EQ(Write(handle, "data"), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(Get("snap.dat"), "data");  // the failed writes left nothing, not even a gap
}

// No fixture: the child process of the death test leaves no directory behind.
TEST(FilesDeathTest, AbovePassiveLevelIsAContractViolation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, u"\\SystemRoot\\snap.dat");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE handle;
        IO_STATUS_BLOCK status;
        ZwCreateFile(&handle, GENERIC_WRITE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                     0, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
      },
      "ZwCreateFile called above PASSIVE_LEVEL");
}

}  // namespace
