// The host registry: the store's naming rules, the query table, single-value
// writes, key handles with the value-record query, and the device keys.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/device_keys.h"
#include "platform/host/pool.h"
#include "platform/host/registry_store.h"
#include "platform/io.h"
#include "platform/kernel.h"

namespace {

namespace host = veltocam::host;

constexpr const char* kControl = "\\Registry\\MACHINE\\SOFTWARE\\Velto\\CONTROL";
constexpr const WCHAR* kControlW = u"\\Registry\\MACHINE\\SOFTWARE\\Velto\\CONTROL";

RTL_QUERY_REGISTRY_TABLE DirectEntry(const WCHAR* name, void* target, ULONG flags = 0) {
  RTL_QUERY_REGISTRY_TABLE entry{};
  entry.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  entry.Name = name;
  entry.EntryContext = target;
  return entry;
}

NTSTATUS QueryOne(const WCHAR* path, RTL_QUERY_REGISTRY_TABLE entry) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {entry, {}};
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
}

// What a query routine saw.
struct Seen {
  std::u16string name;
  ULONG type;
  std::vector<std::uint8_t> data;
};

NTSTATUS Record(const WCHAR* name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  static_cast<std::vector<Seen>*>(context)->push_back(
      {name, type, std::vector<std::uint8_t>(bytes, bytes + length)});
  return STATUS_SUCCESS;
}

std::u16string Text(const Seen& seen) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < seen.data.size(); i += 2) {
    text += static_cast<char16_t>(seen.data[i] | seen.data[i + 1] << 8);
  }
  return text;
}

TEST(RegistryStore, NamesIgnoreCaseButKeepIt) {
  ASSERT_TRUE(
      host::SetRegistryDword("\\Registry\\Machine\\Software\\Velto\\Control", "SyncByte0", 1));
  EXPECT_EQ(host::GetRegistryDword(kControl, "SYNCBYTE0"), 1u);
  ASSERT_TRUE(host::SetRegistryDword(kControl, "syncbyte0", 2));
  const auto values = host::RegistryValues(kControl);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "SyncByte0");  // the first spelling stays
  EXPECT_EQ(host::GetRegistryDword(kControl, "SyncByte0"), 2u);
  EXPECT_EQ(host::RegistrySubkeys("\\Registry\\MACHINE\\SOFTWARE\\Velto"),
            std::vector<std::string>{"Control"});
}

TEST(RegistryStore, RejectsPathsOutsideTheHives) {
  EXPECT_FALSE(host::CreateRegistryKey("\\Registry\\Elsewhere\\Key"));
  EXPECT_FALSE(host::CreateRegistryKey("Registry\\MACHINE\\SOFTWARE\\X"));
  EXPECT_FALSE(host::CreateRegistryKey("\\Registry\\MACHINE\\\\X"));
  EXPECT_FALSE(host::SetRegistryDword("\\Registry\\MACHINE\\SOFTWARE\\X\\", "v", 1));
  // "\Registry" holds only the hives: a value there would be lost on export.
  EXPECT_FALSE(host::SetRegistryDword("\\Registry", "v", 1));
  // The hives the system mounts stay, as on the platform.
  for (const char* hive : {"\\Registry\\MACHINE", "\\Registry\\USER",
                           "\\Registry\\Machine\\software", "\\Registry\\MACHINE\\SYSTEM"}) {
    EXPECT_FALSE(host::DeleteRegistryKey(hive)) << hive;
    EXPECT_TRUE(host::RegistryKeyExists(hive)) << hive;
  }
  ASSERT_TRUE(host::CreateRegistryKey("\\Registry\\MACHINE\\SOFTWARE\\X"));
  EXPECT_TRUE(host::DeleteRegistryKey("\\Registry\\MACHINE\\SOFTWARE\\X"));
}

TEST(RegistryStore, TypedAccessorsCheckTheType) {
  ASSERT_TRUE(host::SetRegistryString(kControl, "Name", "caméra"));
  ASSERT_TRUE(host::SetRegistryMultiString(kControl, "List", {"a", "bc"}));
  EXPECT_EQ(host::GetRegistryString(kControl, "Name"), "caméra");
  EXPECT_EQ(host::GetRegistryDword(kControl, "Name"), std::nullopt);
  EXPECT_EQ(host::GetRegistryMultiString(kControl, "List"), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(host::GetRegistryBinary(kControl, "List")->size(), 12u);  // a\0bc\0\0 in UTF-16
  EXPECT_TRUE(host::DeleteRegistryValue(kControl, "name"));
  EXPECT_FALSE(host::GetRegistryValue(kControl, "Name").has_value());
}

TEST(QueryTable, DirectDwordAbsentRequiredAndDefaults) {
  ASSERT_TRUE(host::SetRegistryDword(kControl, "TotalSyncByte", 3));
  ULONG total = 0xAAAA, absent = 0xBBBB, defaulted = 0, required = 0xCCCC;
  ULONG fallback = 38;
  RTL_QUERY_REGISTRY_TABLE table[5] = {
      DirectEntry(u"TotalSyncByte", &total),
      DirectEntry(u"NoSuchValue", &absent),
      DirectEntry(u"WhiteBalance", &defaulted),
      DirectEntry(u"Required", &required, RTL_QUERY_REGISTRY_REQUIRED),
      {}};
  table[2].DefaultType = REG_DWORD;
  table[2].DefaultData = &fallback;
  table[2].DefaultLength = sizeof fallback;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kControlW, table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(total, 3u);
  EXPECT_EQ(absent, 0xBBBBu);  // left as it was
  EXPECT_EQ(defaulted, 38u);
  EXPECT_EQ(required, 0xCCCCu);

  table[3] = {};  // without the required entry the same query succeeds
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kControlW, table, nullptr, nullptr),
            STATUS_SUCCESS);
}

TEST(QueryTable, AbsentKeyFailsUnlessOptional) {
  ULONG value = 7;
  EXPECT_EQ(QueryOne(u"\\Registry\\MACHINE\\SOFTWARE\\Nobody\\CONTROL", DirectEntry(u"x", &value)),
            STATUS_OBJECT_NAME_NOT_FOUND);
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(u"x", &value), {}};
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                             u"\\Registry\\MACHINE\\SOFTWARE\\Nobody", table, nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(QueryOne(u"Registry\\MACHINE", DirectEntry(u"x", &value)),
            STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST(QueryTable, DirectStringsAllocateOrFitTheCallersBuffer) {
  ASSERT_TRUE(host::SetRegistryString(kControl, "Product", "Velto Cam"));
  UNICODE_STRING allocated{0, 0, nullptr};
  ASSERT_EQ(QueryOne(kControlW, DirectEntry(u"Product", &allocated)), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"Velto Cam");
  EXPECT_EQ(allocated.Buffer[allocated.Length / 2], u'\0');
  RtlFreeUnicodeString(&allocated);

  WCHAR small[4];
  UNICODE_STRING tooSmall{0, sizeof small, small};
  EXPECT_EQ(QueryOne(kControlW, DirectEntry(u"Product", &tooSmall)), STATUS_BUFFER_TOO_SMALL);

  WCHAR exact[9];  // room for the text but not its NUL
  UNICODE_STRING fits{0, sizeof exact, exact};
  ASSERT_EQ(QueryOne(kControlW, DirectEntry(u"Product", &fits)), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(fits.Buffer, fits.Length / 2), u"Velto Cam");

  host::FailNthAllocation(1);
  UNICODE_STRING failed{0, 0, nullptr};
  EXPECT_EQ(QueryOne(kControlW, DirectEntry(u"Product", &failed)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(failed.Buffer, nullptr);
}

TEST(QueryTable, DirectBinaryUsesTheSizeInTheFirstLong) {
  const std::uint8_t blob[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(host::SetRegistryBinary(kControl, "Blob", blob));

  LONG dataOnly[4] = {-static_cast<LONG>(sizeof dataOnly)};
  ASSERT_EQ(QueryOne(kControlW, DirectEntry(u"Blob", dataOnly)), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(dataOnly, blob, sizeof blob), 0);

  ULONG withHeader[4] = {sizeof withHeader};
  ASSERT_EQ(QueryOne(kControlW, DirectEntry(u"Blob", withHeader)), STATUS_SUCCESS);
  EXPECT_EQ(withHeader[0], 6u);
  EXPECT_EQ(withHeader[1], REG_BINARY);
  EXPECT_EQ(std::memcmp(&withHeader[2], blob, sizeof blob), 0);

  LONG tooSmall[2] = {-4, 0x5A5A5A5A};
  EXPECT_EQ(QueryOne(kControlW, DirectEntry(u"Blob", tooSmall)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall[1], 0x5A5A5A5A);
}

TEST(QueryTable, TypeCheckKeepsStringsOutOfNumbers) {
  ASSERT_TRUE(host::SetRegistryString(kControl, "TotalSyncByte", "2"));
  ULONG value = 0x1234;
  RTL_QUERY_REGISTRY_TABLE entry =
      DirectEntry(u"TotalSyncByte", &value, RTL_QUERY_REGISTRY_TYPECHECK);
  entry.DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
  EXPECT_EQ(QueryOne(kControlW, entry), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(value, 0x1234u);
  ASSERT_TRUE(host::SetRegistryDword(kControl, "TotalSyncByte", 2));
  EXPECT_EQ(QueryOne(kControlW, entry), STATUS_SUCCESS);
  EXPECT_EQ(value, 2u);
}

TEST(QueryTable, MultiStringsAndExpansion) {
  ASSERT_TRUE(host::SetRegistryMultiString(kControl, "Modes", {"VGA", "CIF"}));
  ASSERT_TRUE(
      host::SetRegistryString(kControl, "Path", "%SystemRoot%\\snap.dat %Nope%", REG_EXPAND_SZ));
  std::vector<Seen> seen;
  RTL_QUERY_REGISTRY_TABLE table[4] = {
      {Record, 0, u"Modes", nullptr, 0, nullptr, 0},
      {Record, 0, u"Path", nullptr, 0, nullptr, 0},
      {Record, RTL_QUERY_REGISTRY_NOEXPAND, u"Path", nullptr, 0, nullptr, 0},
      {}};
  const WCHAR environment[] = u"SystemRoot=C:\\WINDOWS\0";
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kControlW, table, &seen,
                                   const_cast<WCHAR*>(environment)),
            STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].type, REG_SZ);
  EXPECT_EQ(Text(seen[0]), std::u16string(u"VGA\0", 4));
  EXPECT_EQ(Text(seen[1]), std::u16string(u"CIF\0", 4));
  EXPECT_EQ(seen[2].type, REG_SZ);
  EXPECT_EQ(Text(seen[2]), std::u16string(u"C:\\WINDOWS\\snap.dat %Nope%\0", 27));
  EXPECT_EQ(seen[3].type, REG_EXPAND_SZ);

  // Split into strings, a multi-string cannot go into one UNICODE_STRING.
  UNICODE_STRING modes{0, 0, nullptr};
  EXPECT_EQ(QueryOne(kControlW, DirectEntry(u"Modes", &modes)), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(QueryOne(kControlW, DirectEntry(u"Modes", &modes, RTL_QUERY_REGISTRY_NOEXPAND)),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(modes.Buffer, modes.Length / 2), std::u16string(u"VGA\0CIF\0", 8));
  RtlFreeUnicodeString(&modes);
}

TEST(QueryTable, SubkeysTopkeyEnumerationAndDelete) {
  ASSERT_TRUE(host::SetRegistryDword("\\Registry\\MACHINE\\SOFTWARE\\Velto", "Top", 1));
  ASSERT_TRUE(host::SetRegistryDword(kControl, "B", 2));
  ASSERT_TRUE(host::SetRegistryDword(kControl, "A", 3));
  std::vector<Seen> seen;
  ULONG top = 0;
  // The subkey entry's routine sees every value of CONTROL; the TOPKEY entry
  // goes back to the key the query started at.
  RTL_QUERY_REGISTRY_TABLE table[3] = {
      {Record, RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DELETE, u"control", nullptr, 0,
       nullptr, 0},
      DirectEntry(u"Top", &top, RTL_QUERY_REGISTRY_TOPKEY),
      {}};
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\MACHINE\\SOFTWARE\\Velto",
                                   table, &seen, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 2u);  // in the order the values were set
  EXPECT_EQ(seen[0].name, u"B");
  EXPECT_EQ(seen[1].name, u"A");
  EXPECT_EQ(top, 1u);
  EXPECT_TRUE(host::RegistryValues(kControl).empty());  // deleted after delivery

  RTL_QUERY_REGISTRY_TABLE missing[2] = {
      {Record, RTL_QUERY_REGISTRY_SUBKEY, u"Absent", nullptr, 0, nullptr, 0}, {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\MACHINE\\SOFTWARE\\Velto",
                                   missing, &seen, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

// A routine may use the registry itself, and its failure ends the query.
NTSTATUS WriteBack(const WCHAR*, ULONG, PVOID data, ULONG, PVOID, PVOID) {
  const ULONG doubled = *static_cast<ULONG*>(data) * 2;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"Doubled", REG_DWORD, &doubled,
                               sizeof doubled);
}
NTSTATUS Refuse(const WCHAR*, ULONG, PVOID, ULONG, PVOID, PVOID) {
  return STATUS_NO_MATCH;
}

TEST(QueryTable, RoutinesMayCallTheRegistryAndStopTheQuery) {
  ASSERT_TRUE(host::SetRegistryDword(kControl, "Value", 21));
  ULONG after = 0;
  RTL_QUERY_REGISTRY_TABLE table[4] = {{WriteBack, 0, u"Value", nullptr, 0, nullptr, 0},
                                       {Refuse, 0, u"Value", nullptr, 0, nullptr, 0},
                                       DirectEntry(u"Value", &after),
                                       {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kControlW, table, nullptr, nullptr),
            STATUS_NO_MATCH);
  EXPECT_EQ(host::GetRegistryDword(kControl, "Doubled"), 42u);
  EXPECT_EQ(after, 0u);

  RTL_QUERY_REGISTRY_TABLE nameOnly[2] = {{nullptr, 0, u"Value", nullptr, 0, nullptr, 0}, {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kControlW, nameOnly, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST(RegistryWrites, WriteNeedsAnExistingKey) {
  const ULONG one = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"Buffer", REG_DWORD, &one, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(host::RegistryKeyExists(kControl));

  EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, kControlW), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\MACHINE\\SOFTWARE\\Velto"),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, kControlW), STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, kControlW), STATUS_SUCCESS);
  EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\NEWHIVE"),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry", u"v", REG_DWORD, &one, 4),
            STATUS_ACCESS_DENIED);

  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"Buffer", REG_DWORD, &one, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(host::GetRegistryDword(kControl, "Buffer"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"Bad", REG_BINARY, nullptr, 4),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"buffer"), STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"buffer"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryWritesDeathTest, AbovePassiveLevelIsAContractViolation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const ULONG one = 1;
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, u"x", REG_DWORD, &one, 4);
      },
      "RtlWriteRegistryValue called above PASSIVE_LEVEL");
}

// Work items run on worker threads in real time: the store must hold up
// when writers, readers, imports and deletions overlap.
TEST(RegistryStore, ConcurrentUseKeepsEveryValueWhole) {
  ASSERT_TRUE(host::CreateRegistryKey(kControl));
  std::vector<std::thread> threads;
  for (ULONG id = 0; id < 4; ++id) {
    threads.emplace_back([id] {
      const WCHAR name[] = {u'V', static_cast<WCHAR>(u'0' + id), 0};
      for (ULONG i = 0; i < 500; ++i) {
        const ULONG value = id << 16 | i;
        EXPECT_EQ(
            RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kControlW, name, REG_DWORD, &value, 4),
            STATUS_SUCCESS);
        ULONG read = 0;
        EXPECT_EQ(QueryOne(kControlW, DirectEntry(name, &read)), STATUS_SUCCESS);
        EXPECT_EQ(read >> 16, id);  // never another thread's value, never torn
        host::SetRegistryDword(std::string(kControl) + "\\Scratch", "x", i);
        host::DeleteRegistryKey(std::string(kControl) + "\\Scratch");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(host::RegistryValues(kControl).size(), 4u);
}

class KeyHandles : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host::SetRegistryDword(kControl, "FrameRate", 30));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kControlW);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key_, KEY_READ, &attributes), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (key_ != nullptr) {
      EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
    }
  }

  NTSTATUS Query(const WCHAR* value, KEY_VALUE_INFORMATION_CLASS type, void* buffer, ULONG length,
                 ULONG* result) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    return ZwQueryValueKey(key_, &name, type, buffer, length, result);
  }

  HANDLE key_ = nullptr;
};

TEST_F(KeyHandles, PartialInformationSizes) {
  const ULONG needed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4;
  ULONG result = 0;
  EXPECT_EQ(Query(u"FrameRate", KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, needed);

  alignas(8) UCHAR buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(Query(u"FrameRate", KeyValuePartialInformation, buffer, 8, &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0xEE);  // nothing written

  EXPECT_EQ(Query(u"FrameRate", KeyValuePartialInformation, buffer, needed - 1, &result),
            STATUS_BUFFER_OVERFLOW);
  const auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, REG_DWORD);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(info->Data[0], 0xEE);  // the data is not partly copied

  ASSERT_EQ(Query(u"framerate", KeyValuePartialInformation, buffer, needed, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, needed);
  ULONG rate;
  std::memcpy(&rate, info->Data, 4);
  EXPECT_EQ(rate, 30u);

  EXPECT_EQ(Query(u"Missing", KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KeyHandles, FullAndBasicInformation) {
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  ASSERT_EQ(Query(u"FrameRate", KeyValueFullInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  const auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
  EXPECT_EQ(full->NameLength, 18u);
  EXPECT_EQ(std::u16string(full->Name, 9), u"FrameRate");
  EXPECT_EQ(full->DataOffset % 8, 0u);
  EXPECT_GE(full->DataOffset, offsetof(KEY_VALUE_FULL_INFORMATION, Name) + 18);
  EXPECT_EQ(result, full->DataOffset + 4);
  EXPECT_EQ(buffer[full->DataOffset], 30);

  EXPECT_EQ(Query(u"FrameRate", KeyValueBasicInformation, buffer, 14, &result),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, offsetof(KEY_VALUE_BASIC_INFORMATION, Name) + 18);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer)->NameLength, 18u);
}

TEST_F(KeyHandles, CreateSetAndDeletedKeys) {
  UNICODE_STRING sub;
  RtlInitUnicodeString(&sub, u"Sub");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &sub, OBJ_CASE_INSENSITIVE, key_, nullptr);
  HANDLE child = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Level");
  const ULONG level = 5;
  ASSERT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &level, 4), STATUS_SUCCESS);
  EXPECT_EQ(host::GetRegistryDword(std::string(kControl) + "\\sub", "level"), 5u);

  HANDLE again = nullptr;
  ASSERT_EQ(ZwCreateKey(&again, KEY_READ, &attributes, 0, nullptr, 0, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
  UNICODE_STRING top;
  RtlInitUnicodeString(&top, u"\\Registry");
  InitializeObjectAttributes(&attributes, &top, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenKey(&again, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(again, &name, 0, REG_DWORD, &level, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);

  ASSERT_TRUE(host::DeleteRegistryKey(kControl));
  ULONG result;
  EXPECT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &level, 4), STATUS_KEY_DELETED);
  EXPECT_EQ(Query(u"FrameRate", KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_KEY_DELETED);
  EXPECT_FALSE(host::RegistryKeyExists(kControl));  // nothing written brought it back
  EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(child), STATUS_INVALID_HANDLE);
}

TEST(DeviceKeys, DriverKeysPerDeviceUnderTheImagingClass) {
  DEVICE_OBJECT first{}, second{};
  const std::string classKey =
      "\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
      "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\";
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&first, PLUGPLAY_REGKEY_DRIVER, 0x1F0000, &key),
            STATUS_SUCCESS);
  EXPECT_TRUE(host::RegistryKeyExists(classKey + "0000"));
  const ULONG rate = 60;
  // The Rtl routines take the open key as their path.
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<const WCHAR*>(key), u"FrameRate",
                                  REG_DWORD, &rate, 4),
            STATUS_SUCCESS);
  ULONG read = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {DirectEntry(u"FrameRate", &read), {}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<const WCHAR*>(key), table,
                                   nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(read, 60u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(host::GetRegistryDword(classKey + "0000", "FrameRate"), 60u);

  EXPECT_EQ(host::DeviceRegistryKeyPath(&second, PLUGPLAY_REGKEY_DRIVER), classKey + "0001");
  ASSERT_TRUE(host::SetDeviceRegistryKeyPath(&second, PLUGPLAY_REGKEY_DRIVER,
                                             "\\Registry\\MACHINE\\SOFTWARE\\Test\\Driver"));
  ASSERT_EQ(IoOpenDeviceRegistryKey(&second, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_TRUE(host::RegistryKeyExists("\\Registry\\MACHINE\\SOFTWARE\\Test\\Driver"));

  EXPECT_FALSE(host::SetDeviceRegistryKeyPath(&second, 3, "\\Registry\\MACHINE\\SOFTWARE\\X"));
  EXPECT_FALSE(host::SetDeviceRegistryKeyPath(&second, PLUGPLAY_REGKEY_DEVICE, "\\Registry\\X"));
  EXPECT_EQ(IoOpenDeviceRegistryKey(&second, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

}  // namespace
