#include "properties/persistence.h"

#include "classlayer/device_layer_services.h"
#include "control/configstore.h"
#include "platform/registry.h"
#include "properties/properties.h"

namespace {

constexpr ULONG kMaximumFrameRate = 30;
constexpr ULONG kDefaultImageType = 5;
constexpr ACCESS_MASK kDriverKeyAccess = 0x1F0000;
constexpr ULONG kApplyRegistryValuesAbsent = 0xFFFFFFFF;

constexpr SIZE_T kNameCapacity = 24;  // the longest stored name and its end

bool SavingAllowed(const DeviceContext* context) {
  return context->ApplyRegistryValues == 1 ||
         context->ApplyRegistryValues == kApplyRegistryValuesAbsent;
}

ULONG DefaultOf(const DeviceContext* context, ULONG slot) {
  const ProcAmpProperty& p = kProcAmpProperties[slot];
  return p.InternalIndex == kWhiteBalanceIndex ? context->DefaultWhiteBalance
                                               : static_cast<ULONG>(p.Default);
}

// One query of the VIDEOPROCAMP key for the switch and the six values; each
// lands in its preset variable only when present as a REG_DWORD.
NTSTATUS QueryProcAmpKey(DeviceContext* context, ULONG (&stored)[kProcAmpCount], ULONG* apply) {
  WCHAR names[kProcAmpCount][kNameCapacity];
  RTL_QUERY_REGISTRY_TABLE table[kProcAmpCount + 2] = {};
  auto entry = [](RTL_QUERY_REGISTRY_TABLE& e, const WCHAR* name, ULONG* target) {
    e.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    e.Name = name;
    e.EntryContext = target;
    e.DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
  };
  entry(table[0], u"ApplyRegistryValues", apply);
  for (ULONG k = 0; k < kProcAmpCount; ++k) {
    const char* name = kProcAmpProperties[k].StoredName;
    SIZE_T i = 0;
    for (; name[i] != '\0' && i + 1 < kNameCapacity; ++i) names[k][i] = static_cast<WCHAR>(name[i]);
    names[k][i] = 0;
    entry(table[k + 1], names[k], &stored[k]);
  }
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, context->VideoProcAmpKeyPath, table, nullptr,
                                nullptr);
}

}  // namespace

NTSTATUS LoadStreamSettings(DEVICE_OBJECT* physicalDeviceObject, DeviceContext* context) {
  HANDLE key = nullptr;
  const NTSTATUS opened =
      IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, kDriverKeyAccess, &key);
  if (NT_SUCCESS(opened)) {
    static constexpr WCHAR kName[] = u"FrameRate";
    ULONG rate = 0;
    if (NT_SUCCESS(
            QueryRegistryValue(key, kName, sizeof kName - sizeof(WCHAR), &rate, sizeof rate))) {
      context->FrameRate = rate;
    }
    ZwClose(key);
  }
  if (context->FrameRate > kMaximumFrameRate) context->FrameRate = kMaximumFrameRate;

  ULONG apply = 0;
  const NTSTATUS applyRead =
      QueryDword(context, context->ControlKeyPath, "ApplyRegistryValues", &apply);
  context->ApplyRegistryValues = apply;
  ULONG imageType = 0;
  const NTSTATUS typeRead = QueryDword(context, context->ControlKeyPath, "IMAGETYPE", &imageType);
  // Stored settings count only when the store says to apply them; a missing
  // image type then keeps the camera's usual compressed type rather than 0.
  const bool useStored = NT_SUCCESS(applyRead) && apply == 1 && NT_SUCCESS(typeRead);
  context->ImageType = static_cast<UCHAR>(useStored ? imageType : kDefaultImageType);
  return opened;
}

NTSTATUS SaveProcAmpSettings(DeviceContext* context) {
  // Only values restored or set since the record was made are the camera's;
  // with none of those there is nothing to save.
  if (!SavingAllowed(context) || context->ProcAmpValueKnown == 0) return STATUS_SUCCESS;
  NTSTATUS status = WriteDword(context->VideoProcAmpKeyPath, "ApplyRegistryValues", 1);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG k = 0; k < kProcAmpCount; ++k) {
    if ((context->ProcAmpValueKnown & (1u << k)) == 0) continue;
    status = WriteDword(context->VideoProcAmpKeyPath, kProcAmpProperties[k].StoredName,
                        context->ProcAmpValue[k]);
  }
  return status;
}

NTSTATUS PersistProcAmpValue(DeviceContext* context, ULONG internalIndex) {
  const int slot = ProcAmpSlot(internalIndex);
  if (!SavingAllowed(context) || slot < 0) return STATUS_SUCCESS;
  // The first value a fresh store gets turns the switch on, as a capture
  // stop would: otherwise the next start applies the defaults over the
  // user's choice, and its stop saves them.
  if (context->ApplyRegistryValues == kApplyRegistryValuesAbsent) {
    const NTSTATUS status = WriteDword(context->VideoProcAmpKeyPath, "ApplyRegistryValues", 1);
    if (!NT_SUCCESS(status)) return status;
    context->ApplyRegistryValues = 1;
  }
  return WriteDword(context->VideoProcAmpKeyPath, kProcAmpProperties[slot].StoredName,
                    context->ProcAmpValue[slot]);
}

NTSTATUS RestoreProcAmpSettings(DeviceContext* context) {
  context->RestoringProperties = 1;
  // Absent values keep these presets: the built-in defaults, and "absent"
  // for the switch.
  ULONG stored[kProcAmpCount];
  for (ULONG k = 0; k < kProcAmpCount; ++k) stored[k] = DefaultOf(context, k);
  ULONG apply = kApplyRegistryValuesAbsent;
  const NTSTATUS query = QueryProcAmpKey(context, stored, &apply);
  context->ApplyRegistryValues = apply;
  const bool useStored = NT_SUCCESS(query) && apply == 1;

  for (ULONG k = 0; k < kProcAmpCount; ++k) {
    const ProcAmpProperty& p = kProcAmpProperties[k];
    const bool inRange =
        stored[k] >= static_cast<ULONG>(p.Minimum) && stored[k] <= static_cast<ULONG>(p.Maximum);
    const ULONG value = useStored && inRange ? stored[k] : DefaultOf(context, k);
    // Without a usable stored white balance the camera balances on its own.
    if (p.InternalIndex == kWhiteBalanceIndex && !(useStored && inRange)) {
      AutoWhiteBalanceSetting = 1;
    }
    ApplyProcAmpValue(p.InternalIndex, context, value, FALSE);
  }
  context->RestoringProperties = 0;
  return STATUS_SUCCESS;
}
