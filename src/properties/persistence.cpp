#include "properties/persistence.h"

#include "classlayer/device_layer_services.h"
#include "control/configstore.h"
#include "platform/registry.h"

namespace {

constexpr ULONG kMaximumFrameRate = 30;
constexpr ULONG kDefaultImageType = 5;
constexpr ACCESS_MASK kDriverKeyAccess = 0x1F0000;
constexpr ULONG kApplyRegistryValuesAbsent = 0xFFFFFFFF;

// Property ids of the amplifier values, in ProcAmpValue order, with the
// names they are stored under.
struct StoredValue {
  ULONG propertyId;
  const char* name;
};
constexpr StoredValue kStoredValues[6] = {{1, "Brightness"}, {2, "Contrast"},  {3, "Hue"},
                                          {4, "Saturation"}, {5, "Sharpness"}, {8, "Whitebalance"}};

bool SavingAllowed(const DeviceContext* context) {
  return context->ApplyRegistryValues == 1 ||
         context->ApplyRegistryValues == kApplyRegistryValuesAbsent;
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
  if (!SavingAllowed(context)) return STATUS_SUCCESS;
  NTSTATUS status = WriteDword(context->VideoProcAmpKeyPath, "ApplyRegistryValues", 1);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < 6; ++i) {
    status =
        WriteDword(context->VideoProcAmpKeyPath, kStoredValues[i].name, context->ProcAmpValue[i]);
  }
  return status;
}

NTSTATUS PersistProcAmpValue(DeviceContext* context, ULONG propertyId) {
  if (!SavingAllowed(context)) return STATUS_SUCCESS;
  for (ULONG i = 0; i < 6; ++i) {
    if (kStoredValues[i].propertyId == propertyId) {
      return WriteDword(context->VideoProcAmpKeyPath, kStoredValues[i].name,
                        context->ProcAmpValue[i]);
    }
  }
  return STATUS_SUCCESS;
}
