#include "classlayer/usbconfig.h"

#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbrequests.h"

namespace {

constexpr ULONG kFirstConfigurationRead = 64;
// A device that keeps growing its configuration is not followed for ever.
constexpr int kConfigurationReads = 4;

template <typename T>
T* Allocate(ULONG size) {
  return static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag));
}

template <typename T>
void Free(T*& block) {
  if (block != nullptr) ExFreePool(block);
  block = nullptr;
}

// Reads the whole configuration descriptor; the caller frees *result.
NTSTATUS ReadConfiguration(ClassDevice* device, USB_CONFIGURATION_DESCRIPTOR** result) {
  ULONG size = kFirstConfigurationRead;
  for (int attempt = 0; attempt < kConfigurationReads; ++attempt) {
    auto* buffer = Allocate<USB_CONFIGURATION_DESCRIPTOR>(size);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG returned = 0;
    NTSTATUS status = ReadConfigurationDescriptor(device, buffer, size, &returned);
    if (!NT_SUCCESS(status)) {
      ExFreePool(buffer);
      return status;
    }
    // Only what the device sent is believed, however large it says it is.
    if (returned < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      ExFreePool(buffer);
      return STATUS_DEVICE_DATA_ERROR;
    }
    if (buffer->wTotalLength <= size) {
      if (buffer->wTotalLength > returned) buffer->wTotalLength = static_cast<USHORT>(returned);
      *result = buffer;
      return STATUS_SUCCESS;
    }
    size = buffer->wTotalLength;
    ExFreePool(buffer);
  }
  return STATUS_DEVICE_DATA_ERROR;
}

bool IsIsochronous(const PipeEntry& pipe) {
  return (pipe.TransferType & UsbdPipeTypeIsochronous) != 0;
}

// Isochronous and interrupt pipes (bit 0) feed the isochronous engine; bulk
// pipes (bit 1 alone) the bulk services.
void AssignDataPipe(ClassDevice* device, const PipeEntry& pipe, LONG index, UCHAR stream) {
  if (IsIsochronous(pipe)) {
    device->IsoDataPipeIndex = index;
    device->IsoDataStream = stream;
  } else if ((pipe.TransferType & UsbdPipeTypeBulk) != 0) {
    device->BulkDataPipeIndex = index;
    device->BulkDataStream = stream;
  }
}

NTSTATUS KeepDeviceDescriptor(ClassDevice* device) {
  auto* descriptor = Allocate<USB_DEVICE_DESCRIPTOR>(sizeof(USB_DEVICE_DESCRIPTOR));
  if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = ReadDeviceDescriptor(device, descriptor);
  if (!NT_SUCCESS(status)) {
    ExFreePool(descriptor);
    return status;
  }
  Free(device->DeviceDescriptor);
  device->DeviceDescriptor = descriptor;
  return STATUS_SUCCESS;
}

// The select-configuration request and what it takes to build and describe it.
struct Selection {
  USBD_INTERFACE_LIST_ENTRY* list = nullptr;
  URB* request = nullptr;
  USBD_INTERFACE_INFORMATION* interface0 = nullptr;  // inside the request
  ULONG pipes = 0;
  USHORT* words = nullptr;  // the device layer's pipe words (extended table only)
};

void FreeSelection(Selection* selection) {
  Free(selection->request);
  Free(selection->list);
  Free(selection->words);
}

// One list entry per interface (the first descriptor of each number), then
// the request built from them.
NTSTATUS BuildSelection(USB_CONFIGURATION_DESCRIPTOR* configuration, Selection* selection) {
  const ULONG interfaces = configuration->bNumInterfaces;
  auto* list =
      Allocate<USBD_INTERFACE_LIST_ENTRY>((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  selection->list = list;
  ULONG found = 0;
  for (ULONG i = 0; i < interfaces; ++i) {
    USB_INTERFACE_DESCRIPTOR* descriptor = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, static_cast<LONG>(i), -1, -1, -1, -1);
    if (descriptor == nullptr) break;
    list[found++] = {descriptor, nullptr};
  }
  list[found] = {nullptr, nullptr};
  if (found == 0) return STATUS_DEVICE_DATA_ERROR;
  selection->request = USBD_CreateConfigurationRequestEx(configuration, list);
  if (selection->request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  selection->interface0 = list[0].Interface;
  selection->pipes = selection->interface0->NumberOfPipes;
  return STATUS_SUCCESS;
}

ULONG AtLeastOne(ULONG count) {
  return count > 0 ? count : 1;
}

// The device layer edits interface 0 and says how its pipes are used: one word
// per pipe (extended table), or the data and sync pipe numbers (basic table).
NTSTATUS DescribePipes(ClassDevice* device, USB_CONFIGURATION_DESCRIPTOR* configuration,
                       Selection* selection) {
  if (!HasExtendedCallbackTable(device)) {
    device->IsoDataStream = 0;
    device->BulkDataStream = 255;
    device->BulkDataPipeIndex = -1;
    device->StillIsVirtual = 1;
    return CallBasicConfigure(device, selection->interface0, configuration,
                              &device->IsoDataPipeIndex, &device->SyncPipeIndex);
  }
  const ULONG bytes = AtLeastOne(selection->pipes) * sizeof(USHORT);
  selection->words = Allocate<USHORT>(bytes);
  if (selection->words == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(selection->words, bytes);
  return CallConfigure(device, selection->interface0, configuration, selection->pipes,
                       selection->words);
}

NTSTATUS BuildPipeTable(ClassDevice* device, const Selection& selection) {
  Free(device->PipeTable);
  device->PipeTable = Allocate<PipeEntry>(AtLeastOne(selection.pipes) * sizeof(PipeEntry));
  device->NumberOfPipes = device->PipeTable != nullptr ? selection.pipes : 0;
  if (device->PipeTable == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG j = 0; j < selection.pipes; ++j) {
    const USBD_PIPE_INFORMATION& info = selection.interface0->Pipes[j];
    PipeEntry& entry = device->PipeTable[j];
    entry.TransferType = static_cast<UCHAR>(info.PipeType & 3);
    entry.DirectionIn = (info.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? 1 : 0;
    entry.MaxPacketSize = info.MaximumPacketSize;
    entry.Association = static_cast<UCHAR>(selection.words[j] & 0xFF);
    entry.Role = static_cast<UCHAR>(selection.words[j] >> 8);
    entry.PendingTransfer = entry.SavedTransfer = nullptr;
  }
  return ClassifyPipes(device, selection.pipes);
}

NTSTATUS KeepSelectedInterface(ClassDevice* device, const Selection& selection) {
  device->ConfigurationHandle = selection.request->UrbSelectConfiguration.ConfigurationHandle;
  Free(device->InterfaceInfo);
  const USBD_INTERFACE_INFORMATION* interface0 = selection.interface0;
  device->InterfaceInfo = Allocate<USBD_INTERFACE_INFORMATION>(interface0->Length);
  if (device->InterfaceInfo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(device->InterfaceInfo, interface0, interface0->Length);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ClassifyPipes(ClassDevice* device, ULONG numberOfPipes) {
  device->SyncPipeIndex = device->IsoDataPipeIndex = device->BulkDataPipeIndex = -1;
  device->IsoDataStream = device->BulkDataStream = 255;
  device->StillIsVirtual = 1;
  ULONG count = 0;
  for (ULONG j = 0; j < numberOfPipes; ++j) {
    const PipeEntry& pipe = device->PipeTable[j];
    if ((pipe.Role & kPipeRoleIgnored) != 0) continue;
    const auto index = static_cast<LONG>(j);
    switch (pipe.Role) {
      case kPipeRoleDataPipe:
        if (pipe.Association != kPipeServesBoth && pipe.DirectionIn) {
          // Association 1 serves stream 0, association 2 stream 1.
          AssignDataPipe(device, pipe, index, (pipe.Association & kPipeServesVideo) != 0 ? 0 : 1);
          count += 1;
        }
        break;
      case kPipeRoleMultiplexedPipe:
        if ((pipe.Association & kPipeServesBoth) != 0 && pipe.DirectionIn) {
          AssignDataPipe(device, pipe, index, 0);
          count += 2;
          device->StillIsVirtual = 1;
        }
        break;
      case kPipeRoleSyncPipe:
        if (IsIsochronous(pipe) && pipe.DirectionIn) device->SyncPipeIndex = index;
        break;
      default:
        break;
    }
  }
  if (count != 0) device->NumberOfStreams = count;
  if ((device->IsoDataPipeIndex == -1 && device->BulkDataPipeIndex == -1) || count > 2) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConfigureDevice(ClassDevice* device) {
  KeInitializeSemaphore(&device->ChannelLock, 1, 1);
  KeInitializeSemaphore(&device->UrbLock, 1, 1);
  KeInitializeSpinLock(&device->PipeTableLock);
  NTSTATUS status = KeepDeviceDescriptor(device);
  if (!NT_SUCCESS(status)) return status;
  USB_CONFIGURATION_DESCRIPTOR* configuration = nullptr;
  status = ReadConfiguration(device, &configuration);
  if (!NT_SUCCESS(status)) return status;

  Selection selection;
  status = BuildSelection(configuration, &selection);
  if (NT_SUCCESS(status)) status = DescribePipes(device, configuration, &selection);
  if (NT_SUCCESS(status)) status = SubmitUrbSync(device, selection.request);
  // A selection the bus driver refused leaves no pipes to stream on: fail
  // rather than go on as configured.
  if (NT_SUCCESS(status) && !USBD_SUCCESS(selection.request->UrbHeader.Status)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status) && selection.words != nullptr) status = BuildPipeTable(device, selection);
  if (NT_SUCCESS(status)) status = KeepSelectedInterface(device, selection);
  FreeSelection(&selection);
  if (NT_SUCCESS(status)) status = CallInitialize(device);
  Free(configuration);
  if (NT_SUCCESS(status)) {
    device->OpenCount[0] = device->OpenCount[1] = 0;
    device->ResetCount[0] = device->ResetCount[1] = -1;
  }
  return status;
}

void ReleaseDeviceConfiguration(ClassDevice* device) {
  ReleaseBulkTransfers(device);
  Free(device->DeviceDescriptor);
  Free(device->InterfaceInfo);
  Free(device->PipeTable);
  device->NumberOfPipes = 0;
}
