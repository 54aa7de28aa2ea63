#include "control/configstore.h"

#include "control/vendorcommands.h"
#include "platform/registry.h"

namespace {

// Value names are short ASCII; a longer one is cut (and then simply not found).
constexpr SIZE_T kNameCapacity = 64;

void Widen(const char* text, WCHAR (&wide)[kNameCapacity]) {
  SIZE_T i = 0;
  for (; text[i] != '\0' && i + 1 < kNameCapacity; ++i) {
    wide[i] = static_cast<WCHAR>(static_cast<UCHAR>(text[i]));
  }
  wide[i] = 0;
}

#define KEY_PATH(leaf) u"\\Registry\\MACHINE\\SOFTWARE\\%S\\" leaf

// The key paths hold ProductName as an 8-bit string; the formatting is
// bounded by each field and always terminates.
template <SIZE_T N>
void FormatKeyPath(WCHAR (&field)[N], const WCHAR* format) {
  RtlStringCchPrintfW(field, N, format, ProductName);
}

// The commands in the order their values are read.
struct CommandName {
  VendorCommandId id;
  const char* name;
};
constexpr CommandName kCommandReadOrder[kVendorCommandCount] = {
    {SetQtable, "SetQtable"},
    {TurnOnGpioPower, "TurnOnGpioPower"},
    {SetImageType, "SetImageType"},
    {SetPcCamStart, "SetPcCamStart"},
    {SetPcCamStop, "SetPcCamStop"},
    {SetCamIdle, "SetCamIdle"},
    {SetAeAwbFlag, "SetAeAwbFlag"},
    {TurnOffGpioPower, "TurnOffGpioPower"},
    {SizePcCamSize, "SizePcCamSize"},
    {SetAeBandingFlag, "SetAeBandingFlag"},
    {SyncDataTime, "SyncDataTime"},
    {SetAwbMode, "SetAwbMode"},
    {Brightness, "Brightness"},
    {Contrast, "Contrast"},
    {HueL, "HueL"},
    {HueH, "HueH"},
    {Saturation, "Saturation"},
    {Sharpness, "Sharpness"},
};

// Reads the settings of one load: every read is made, its status kept as
// "the last read", and the stored value used only when the read succeeded
// and `take` allows it.
class SettingsReader {
 public:
  SettingsReader(DeviceContext* context, const WCHAR* keyPath)
      : context_(context), keyPath_(keyPath) {}

  ULONG Read(const char* name, bool take, ULONG fallback) {
    ULONG value = 0;
    last_ = QueryDword(context_, keyPath_, name, &value);
    return take && NT_SUCCESS(last_) ? value : fallback;
  }
  UCHAR Byte(const char* name, bool take, UCHAR fallback) {
    return static_cast<UCHAR>(Read(name, take, fallback));
  }
  USHORT Word(const char* name, bool take, USHORT fallback) {
    return static_cast<USHORT>(Read(name, take, fallback));
  }
  // Not gated: a value that cannot be read counts as 0.
  UCHAR Byte(const char* name) { return Byte(name, true, 0); }
  NTSTATUS last() const { return last_; }

 private:
  DeviceContext* context_;
  const WCHAR* keyPath_;
  NTSTATUS last_ = STATUS_SUCCESS;
};

// Request and Index of these two commands do not depend on the gate.
bool AlwaysTaken(VendorCommandId id) {
  return id == SetQtable || id == TurnOnGpioPower;
}

NTSTATUS LoadVendorCommands(DeviceContext* context, bool gated) {
  SettingsReader reader(context, context->VendorCommandKeyPath);
  for (const CommandName& command : kCommandReadOrder) {
    char name[kNameCapacity];
    auto valueName = [&](const char* field) {
      RtlStringCchPrintfA(name, kNameCapacity, "%s_%s", command.name, field);
      return name;
    };
    const bool takeKey = gated || AlwaysTaken(command.id);
    VendorCommandDescriptor& d = context->VendorCommand[command.id];
    d.Request = reader.Byte(valueName("Request"), takeKey, kCommandNotConfigured);
    d.Index = reader.Word(valueName("Index"), takeKey, 0xFFFF);
    d.Value = reader.Word(valueName("Value"), gated, 0xFFFF);
    d.Length = reader.Word(valueName("Length"), gated, 0xFFFF);
  }
  return reader.last();
}

}  // namespace

NTSTATUS QueryDword(DeviceContext*, const WCHAR* keyPath, const char* valueName, ULONG* result) {
  WCHAR name[kNameCapacity];
  Widen(valueName, name);
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  // Only a REG_DWORD may land in the four bytes of `value`.
  table[0].Flags =
      RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = name;
  table[0].EntryContext = &value;
  table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
  const NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath, table, nullptr, nullptr);
  *result = NT_SUCCESS(status) ? value : 0;
  return status;
}

NTSTATUS WriteDword(const WCHAR* keyPath, const char* valueName, ULONG value) {
  WCHAR name[kNameCapacity];
  if (valueName != nullptr) Widen(valueName, name);
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, keyPath,
                               valueName != nullptr ? name : nullptr, REG_DWORD, &value,
                               sizeof value);
}

const char* VendorCommandName(VendorCommandId command) {
  for (const CommandName& entry : kCommandReadOrder) {
    if (entry.id == command) return entry.name;
  }
  return "";
}

NTSTATUS BuildRegistryPaths(DeviceContext* context) {
  FormatKeyPath(context->ControlKeyPath, KEY_PATH("CONTROL"));
  FormatKeyPath(context->VideoProcAmpKeyPath, KEY_PATH("VIDEOPROCAMP"));
  FormatKeyPath(context->HwSnapKeyPath, KEY_PATH("HWSNAP"));
  FormatKeyPath(context->DefaultKeyPath, KEY_PATH("DEFAULT"));
  FormatKeyPath(context->HwStateKeyPath, KEY_PATH("HWSTATE"));
  FormatKeyPath(context->BufferKeyPath, KEY_PATH("BUFFER"));
  FormatKeyPath(context->SnapKeyPath, KEY_PATH("SNAP"));
  FormatKeyPath(context->VendorCommandKeyPath, KEY_PATH("VENDORCOMMAND"));
  FormatKeyPath(context->GuidKeyPath, KEY_PATH("GUID"));
  FormatKeyPath(context->GoodFrameKeyPath, KEY_PATH("GoodFrame"));
  return STATUS_SUCCESS;
}

NTSTATUS LoadControlSettings(DeviceContext* context) {
  SettingsReader control(context, context->ControlKeyPath);
  ULONG apply = 0;
  const NTSTATUS applyStatus =
      QueryDword(context, context->ControlKeyPath, "ApplyRegistryValues", &apply);
  context->ApplyRegistryValues = apply;
  const bool gated = NT_SUCCESS(applyStatus) && apply == 1;

  DebugMessage = control.Byte("DebugMessage", gated, 0);
  context->TotalSyncByte = control.Byte("TotalSyncByte", gated, 2);
  context->SyncByte0 = control.Byte("SyncByte0", gated, 0xFF);
  context->SyncByte1 = control.Byte("SyncByte1", gated, 0xFF);
  context->NextSyncByte = control.Byte("NextSyncByte", gated, 0xFF);
  context->PropertyByteOffset = control.Byte("PropertyByteOffset", gated, 15);
  context->AeBandingType = control.Byte("AEBANDINGTYPE", gated, 1);
  context->AwbMode = control.Byte("AWBMODE", gated, 255);
  context->QTableIndex = control.Byte("QTableIndex", gated, 3);
  context->DriverInitial = control.Byte("DriverInitial", gated, 0);
  context->SensorType = control.Byte("SensorType", gated, 0);
  context->SoftwareAeAwb = control.Byte("SoftwareAeAwb", gated, 0);

  SettingsReader defaults(context, context->DefaultKeyPath);
  context->DefaultWhiteBalance = defaults.Byte("WhiteBalance", gated, 38);

  return LoadVendorCommands(context, gated);
}

NTSTATUS LoadCaptureSettings(DeviceContext* context) {
  SettingsReader control(context, context->ControlKeyPath);
  context->PacketSizeMax = control.Byte("PacketSizeMax");
  Flip = control.Byte("Flip");
  context->AeBandingType = control.Byte("AEBANDINGTYPE");
  context->Simulate160120 = control.Byte("Simulate160120");
  context->NoSensorSize = control.Byte("NoSensorSize");
  context->VgaNoInterpolate = control.Byte("VGANoInterpolate");
  AutoWhiteBalanceSetting = control.Byte("AutoWhiteBalanceSetting");
  context->AwbMode = control.Byte("AWBMODE");
  return STATUS_SUCCESS;
}

NTSTATUS RunStandardInitList(DeviceContext* context) {
  WCHAR path[64];
  FormatKeyPath(path, KEY_PATH("STANDARD"));
  SettingsReader list(context, path);
  const auto count = static_cast<LONG>(list.Read("Num", true, 0));
  for (LONG n = 0; n < count; ++n) {
    char name[kNameCapacity];
    RtlStringCchPrintfA(name, kNameCapacity, "Ini%d", static_cast<int>(n));
    const ULONG entry = list.Read(name, true, 0);
    RegisterWrite(context, static_cast<USHORT>(entry >> 8), static_cast<UCHAR>(entry));
  }
  return list.last();
}

NTSTATUS SaveAwbSettings(DeviceContext* context) {
  if (context->ApplyRegistryValues != 1 && context->ApplyRegistryValues != 0xFFFFFFFF) {
    return STATUS_SUCCESS;
  }
  WriteDword(context->ControlKeyPath, "ApplyRegistryValues", 1);
  WriteDword(context->ControlKeyPath, "AutoWhiteBalanceSetting", AutoWhiteBalanceSetting);
  WriteDword(context->ControlKeyPath, "AEBANDINGTYPE", context->AeBandingType);
  return WriteDword(context->ControlKeyPath, "AWBMODE", context->AwbMode);
}
