#include "properties/properties.h"

#include "control/configstore.h"
#include "control/tracing.h"

GUID CustomPropertySetGuid = kBuiltInCustomPropertySetGuid;

namespace {

// Every advertised value is a 32-bit signed number.
constexpr KSPROPERTY kLongType[1] = {{KSPROPTYPESETID_General, VT_I4, 0}};

// The member lists of a property with a stepping range (step 1) and a default.
template <LONG Minimum, LONG Maximum, LONG Default>
struct SteppedLong {
  static constexpr KSPROPERTY_STEPPING_LONG kRange[1] = {{1, 0, {Minimum, Maximum}}};
  static constexpr LONG kDefault[1] = {Default};
  static constexpr KSPROPERTY_MEMBERSLIST kLists[2] = {
      {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, kRange},
      {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, kDefault}};
  static constexpr KSPROPERTY_VALUES kValues = {1, kLongType, 2, kLists};
};

// The item record keeps its values untyped; they are only ever read.
constexpr PVOID Untyped(const KSPROPERTY_VALUES* values) {
  return const_cast<KSPROPERTY_VALUES*>(values);
}

template <ULONG K>
constexpr PVOID ProcAmpValues() {
  constexpr ProcAmpProperty p = kProcAmpProperties[K];
  return Untyped(&SteppedLong<p.Minimum, p.Maximum, p.Default>::kValues);
}

constexpr ULONG kProcAmpDataSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
constexpr ULONG kCustomDataSize = sizeof(CustomPropertyData);
constexpr ULONG kCompressionDataSize = sizeof(KSPROPERTY_VIDEOCOMPRESSION_S);
constexpr ULONG kCompressionInfoSize = sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S);

template <ULONG K>
constexpr KSPROPERTY_ITEM ProcAmpItem() {
  return {kProcAmpProperties[K].Id, TRUE, kProcAmpDataSize, kProcAmpDataSize, TRUE,
          ProcAmpValues<K>(),       0,    nullptr,          nullptr,          0};
}

constexpr KSPROPERTY_ITEM kProcAmpItems[kAdvertisedProcAmpCount] = {
    ProcAmpItem<0>(), ProcAmpItem<1>(), ProcAmpItem<2>(), ProcAmpItem<3>(), ProcAmpItem<4>()};

constexpr KSPROPERTY_ITEM CustomItem(ULONG id) {
  return {id, TRUE, kCustomDataSize, kCustomDataSize, TRUE, nullptr, 0, nullptr, nullptr, 0};
}

constexpr KSPROPERTY_ITEM kCustomItems[kCustomPropertyCount] = {
    CustomItem(0),  CustomItem(1),  CustomItem(2),  CustomItem(3), CustomItem(4),
    CustomItem(5),  CustomItem(6),  CustomItem(7),  CustomItem(8), CustomItem(9),
    CustomItem(10), CustomItem(11), CustomItem(12), CustomItem(13)};

constexpr KSPROPERTY_ITEM kCompressionItems[4] = {
    {KSPROPERTY_VIDEOCOMPRESSION_GETINFO, TRUE, kCompressionInfoSize, kCompressionInfoSize, FALSE,
     nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE, TRUE, kCompressionDataSize, kCompressionDataSize,
     TRUE, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME, TRUE, kCompressionDataSize,
     kCompressionDataSize, TRUE, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_QUALITY, TRUE, kCompressionDataSize, kCompressionDataSize, TRUE,
     Untyped(&SteppedLong<0, 100, 50>::kValues), 0, nullptr, nullptr, 0},
};

// The five GUID values, in the order of the identifier's fields.
constexpr const char* kGuidValueNames[5] = {"CUSTOM_PROP_Data1", "CUSTOM_PROP_Data2",
                                            "CUSTOM_PROP_Data3", "CUSTOM_PROP_Data4a",
                                            "CUSTOM_PROP_Data4b"};

void StoreBigEndian(ULONG word, UCHAR* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<UCHAR>(word >> (24 - 8 * i));
}

}  // namespace

const KSPROPERTY_SET kDevicePropertySets[kDevicePropertySetCount] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, kAdvertisedProcAmpCount, kProcAmpItems, 0, nullptr},
    {&CustomPropertySetGuid, kCustomPropertyCount, kCustomItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, 4, kCompressionItems, 0, nullptr},
};

void LoadCustomPropertyGuid(DeviceContext* context) {
  ULONG words[5] = {};
  bool complete = true;
  for (int i = 0; i < 5; ++i) {
    complete =
        NT_SUCCESS(QueryDword(context, context->GuidKeyPath, kGuidValueNames[i], &words[i])) &&
        complete;
  }
  GUID guid = kBuiltInCustomPropertySetGuid;
  if (complete) {
    guid.Data1 = words[0];
    guid.Data2 = static_cast<USHORT>(words[1]);
    guid.Data3 = static_cast<USHORT>(words[2]);
    StoreBigEndian(words[3], guid.Data4);
    StoreBigEndian(words[4], guid.Data4 + 4);
  }
  CustomPropertySetGuid = guid;
  const UCHAR* d = guid.Data4;
  DebugTrace("\n(VELTO) GUID=%08x,%04x,%04x,{%02x,%02x,%02x,%02x,%02x,%02x,%02x,%02x}\n",
             guid.Data1, guid.Data2, guid.Data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

NTSTATUS DevicePropertyRequest(BOOLEAN isSet, DEVICE_OBJECT*, DeviceContext* context,
                               HW_STREAM_REQUEST_BLOCK* srb) {
  const auto* descriptor =
      static_cast<const STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo);
  // A request without its property says nothing a handler could serve.
  if (descriptor == nullptr || descriptor->Property == nullptr) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  const GUID& set = descriptor->Property->Set;
  if (set == PROPSETID_VIDCAP_VIDEOPROCAMP) {
    return isSet ? SetProcAmpProperty(context, srb) : GetProcAmpProperty(context, srb);
  }
  if (set == CustomPropertySetGuid) {
    return isSet ? SetCustomProperty(context, srb) : GetCustomProperty(context, srb);
  }
  // Video control is recognised but not advertised: nothing to do.
  if (set == PROPSETID_VIDCAP_VIDEOCONTROL) return STATUS_SUCCESS;
  if (set == PROPSETID_VIDCAP_VIDEOCOMPRESSION) {
    return isSet ? SetCompressionProperty(context, srb) : GetCompressionProperty(context, srb);
  }
  return STATUS_NOT_SUPPORTED;
}
