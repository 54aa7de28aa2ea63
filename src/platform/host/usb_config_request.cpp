// The bus driver's configuration helpers: finding interface descriptors in a
// configuration descriptor and building the select-configuration request.
#include <cstdint>

#include "platform/host/usb_descriptors.h"

namespace {

constexpr ULONG kUsbdPoolTag = PoolTag("USBD");

constexpr bool Matches(LONG wanted, UCHAR actual) {
  return wanted == -1 || wanted == actual;
}

}  // namespace

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
  if (configurationDescriptor == nullptr || startPosition == nullptr) return nullptr;
  const USB_CONFIGURATION_DESCRIPTOR& c = *configurationDescriptor;
  if (c.bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      c.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || c.wTotalLength < c.bLength) {
    return nullptr;
  }
  auto* base = reinterpret_cast<UCHAR*>(configurationDescriptor);
  const auto first = reinterpret_cast<std::uintptr_t>(base);
  const auto start = reinterpret_cast<std::uintptr_t>(startPosition);
  if (start < first || start >= first + c.wTotalLength) return nullptr;
  // Walk the chain from the top even when asked to start further on, so that
  // a start inside a descriptor cannot make its payload read as a header.
  USB_INTERFACE_DESCRIPTOR* found = nullptr;
  veltocam::host::ForEachDescriptor(
      std::span<const UCHAR>(base, c.wTotalLength), [&](const UCHAR* d) {
        if (reinterpret_cast<std::uintptr_t>(d) < start) return true;
        if (d[1] != USB_INTERFACE_DESCRIPTOR_TYPE || d[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) {
          return true;
        }
        auto* candidate = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(const_cast<UCHAR*>(d));
        if (Matches(interfaceNumber, candidate->bInterfaceNumber) &&
            Matches(alternateSetting, candidate->bAlternateSetting) &&
            Matches(interfaceClass, candidate->bInterfaceClass) &&
            Matches(interfaceSubClass, candidate->bInterfaceSubClass) &&
            Matches(interfaceProtocol, candidate->bInterfaceProtocol)) {
          found = candidate;
          return false;
        }
        return true;
      });
  return found;
}

URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* interfaceList) {
  if (configurationDescriptor == nullptr || interfaceList == nullptr) return nullptr;
  std::size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  for (const USBD_INTERFACE_LIST_ENTRY* e = interfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  }
  if (size < sizeof(_URB_SELECT_CONFIGURATION)) size = sizeof(_URB_SELECT_CONFIGURATION);
  // The request's Length field is 16 bits wide.
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
  select.Hdr.Length = static_cast<USHORT>(size);
  select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  select.ConfigurationDescriptor = configurationDescriptor;
  auto* at = reinterpret_cast<UCHAR*>(&select.Interface);
  for (USBD_INTERFACE_LIST_ENTRY* e = interfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(at);
    info->Length = GET_USBD_INTERFACE_SIZE(pipes);
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    USBD_PIPE_INFORMATION* pipe = info->Pipes;  // the records run past the declared one
    for (ULONG p = 0; p < pipes; ++p)
      pipe[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    e->Interface = info;
    at += info->Length;
  }
  return urb;
}
