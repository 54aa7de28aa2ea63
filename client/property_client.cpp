#include "client/property_client.h"

#include <algorithm>

namespace veltocam::client {
namespace {

// The stepped range and the default among an item's member lists.
void ReadValues(const KSPROPERTY_VALUES* values, PropertyInfo* info) {
  if (values == nullptr) return;
  for (ULONG i = 0; i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    const KSPROPERTY_MEMBERSHEADER& header = list.MembersHeader;
    if (header.MembersCount == 0 || list.Members == nullptr) continue;
    if ((header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES ||
         header.MembersFlags == KSPROPERTY_MEMBER_RANGES) &&
        header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG)) {
      info->range = *static_cast<const KSPROPERTY_STEPPING_LONG*>(list.Members);
    } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
               (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 &&
               header.MembersSize >= sizeof(LONG)) {
      info->defaultValue = *static_cast<const LONG*>(list.Members);
    }
  }
}

}  // namespace

std::vector<PropertyInfo> PropertyClient::Properties() const {
  std::vector<PropertyInfo> properties;
  const HW_STREAM_DESCRIPTOR* descriptor = port_.StreamInformation(device_);
  if (descriptor == nullptr) return properties;
  const HW_STREAM_HEADER& header = descriptor->StreamHeader;
  for (ULONG s = 0; s < header.NumDevPropArrayEntries; ++s) {
    const KSPROPERTY_SET& set = header.DevicePropertiesArray[s];
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      PropertyInfo info;
      info.set = *set.Set;
      info.setIndex = s;
      info.id = item.PropertyId;
      info.dataSize = item.MinData;
      info.readable = item.GetSupported != 0;
      info.writable = item.SetSupported != 0;
      ReadValues(static_cast<const KSPROPERTY_VALUES*>(item.Values), &info);
      properties.push_back(info);
    }
  }
  return properties;
}

PropertyResult PropertyClient::Get(const PropertyInfo& property,
                                   std::vector<std::uint8_t>* record) {
  return Send(property, false, record);
}

PropertyResult PropertyClient::Set(const PropertyInfo& property,
                                   std::vector<std::uint8_t>* record) {
  return Send(property, true, record);
}

PropertyResult PropertyClient::Send(const PropertyInfo& property, bool set,
                                    std::vector<std::uint8_t>* record) {
  record->resize(std::max<std::size_t>(record->size(), property.dataSize), 0);
  KSPROPERTY identifier{property.set, property.id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET};
  RtlCopyMemory(record->data(), &identifier, sizeof identifier);
  auto* recordProperty = reinterpret_cast<KSPROPERTY*>(record->data());
  STREAM_PROPERTY_DESCRIPTOR descriptor{recordProperty, property.setIndex, record->data(),
                                        static_cast<ULONG>(sizeof(KSPROPERTY)),
                                        static_cast<ULONG>(record->size())};
  PropertyResult result;
  result.status = port_.DeviceRequest(
      device_, set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY,
      [&](HW_STREAM_REQUEST_BLOCK* srb) { srb->CommandData.PropertyInfo = &descriptor; },
      [&](HW_STREAM_REQUEST_BLOCK* srb) { result.bytes = srb->ActualBytesTransferred; });
  return result;
}

}  // namespace veltocam::client
