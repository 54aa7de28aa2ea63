// Device properties: the picture controls applications read and set through
// kernel-streaming property requests. Three sets are advertised: the video
// processing amplifier (brightness, contrast, hue, saturation, sharpness; the
// handlers also serve white balance), the camera's custom set under a GUID
// the store may replace, and video compression (quality). Values live in the
// device context and the module-wide state, reach the camera as register
// writes or commands, and are kept in the configuration store.
#pragma once

#include <cstddef>

#include "control/devicecontext.h"
#include "platform/videoproperties.h"

// ---- The advertised sets --------------------------------------------------------
constexpr ULONG kDevicePropertySetCount = 3;
// Amplifier, custom, compression, in that order; the stream information the
// filter fills points here.
extern const KSPROPERTY_SET kDevicePropertySets[kDevicePropertySetCount];

// The custom set's identifier as last loaded (the built-in one until then).
extern GUID CustomPropertySetGuid;
constexpr GUID kBuiltInCustomPropertySetGuid = {
    0x14B6AB23, 0x5420, 0x11D5, {0xBE, 0xBF, 0x00, 0x60, 0x67, 0x33, 0xA9, 0xBE}};

// Replaces the custom set's identifier with the GUID key's five values
// ("CUSTOM_PROP_Data1" ... "CUSTOM_PROP_Data4b"). A key that lacks any of
// them gives the built-in identifier, never a zero or half-old one.
void LoadCustomPropertyGuid(DeviceContext* context);

// ---- Requests -----------------------------------------------------------------
// SRB_GET_DEVICE_PROPERTY (isSet 0) and SRB_SET_DEVICE_PROPERTY (isSet 1):
// dispatches on the request's property set. The outcome goes into the
// request (Status, ActualBytesTransferred); a set or id nobody serves leaves
// the request as the port sent it; one without a property descriptor fails
// with STATUS_INVALID_PARAMETER. The result is the handler's own status.
NTSTATUS DevicePropertyRequest(BOOLEAN isSet, DEVICE_OBJECT* bus, DeviceContext* context,
                               HW_STREAM_REQUEST_BLOCK* srb);

NTSTATUS GetProcAmpProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS SetProcAmpProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS GetCustomProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS SetCustomProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS GetCompressionProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS SetCompressionProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb);

// The caller's data record of the request, or null (the request then fails
// with STATUS_BUFFER_TOO_SMALL) when its buffer cannot hold a T.
template <typename T>
T* PropertyData(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* descriptor = static_cast<STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo);
  if (descriptor->PropertyInfo == nullptr || descriptor->PropertyOutputSize < sizeof(T)) {
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    srb->ActualBytesTransferred = 0;
    return nullptr;
  }
  return static_cast<T*>(descriptor->PropertyInfo);
}

inline ULONG PropertyId(const HW_STREAM_REQUEST_BLOCK* srb) {
  return static_cast<const STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo)
      ->Property->Id;
}

// ---- Video processing amplifier ---------------------------------------------------
// One amplifier property: its id in the set, its internal index (which
// names it in ApplyProcAmpValue and the store), its range and built-in
// default, and the store's name for it. ProcAmpValue[k] belongs to entry k.
struct ProcAmpProperty {
  ULONG Id;
  ULONG InternalIndex;
  LONG Minimum;
  LONG Maximum;
  LONG Default;  // white balance: DefaultWhiteBalance instead
  const char* StoredName;
};
constexpr ULONG kProcAmpCount = 6;
constexpr ProcAmpProperty kProcAmpProperties[kProcAmpCount] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 1, 0, 255, 128, "Brightness"},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 2, 1, 8, 1, "Contrast"},
    {KSPROPERTY_VIDEOPROCAMP_HUE, 3, 0, 360, 0, "Hue"},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, 4, 0, 8, 1, "Saturation"},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 5, 0, 63, 0, "Sharpness"},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 8, 0, 49, 0, "Whitebalance"},
};
constexpr ULONG kWhiteBalanceIndex = 8;
constexpr ULONG kAdvertisedProcAmpCount = 5;  // white balance is served, not listed

// The slot of ProcAmpValue for an internal index, or -1.
int ProcAmpSlot(ULONG internalIndex);

// Range-checks `value` for the property with this internal index, stores it,
// sends it to the camera as register writes and, with `persist`, writes it
// to the store. STATUS_NOT_SUPPORTED for an unknown index or a value out of
// range (nothing stored) and for white balance, which is stored and kept but
// has no register to go to; success otherwise.
NTSTATUS ApplyProcAmpValue(ULONG internalIndex, DeviceContext* context, ULONG value,
                           BOOLEAN persist);

// ---- Custom set -------------------------------------------------------------------
constexpr ULONG kCustomPropertyCount = 14;
// The custom set's data record: the value travels in the word at offset 28.
struct CustomPropertyData {
  KSPROPERTY Property;
  ULONG Reserved0;
  LONG Value;
  ULONG Reserved[6];
};
static_assert(sizeof(CustomPropertyData) == 56);
static_assert(offsetof(CustomPropertyData, Value) == 28);

// Custom property ids.
enum CustomPropertyId : ULONG {
  kCustomSnapshotCount = 1,  // how many of the next pictures to save
  kCustomAwbMode = 5,
  kCustomPacketSizeMax = 6,
  kCustomAudioInput = 8,
  kCustomBandingType = 10,
  kCustomPollSnapshotButton = 11,
  kCustomRegistryWrite = 12,
  kCustomFlip = 13,
};
