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

}  // namespace

NTSTATUS ClassifyPipes(ClassDevice* device, ULONG numberOfPipes) {
  device->SyncPipeIndex = device->IsoDataPipeIndex = device->BulkDataPipeIndex = -1;
  device->IsoDataStream = device->BulkDataStream = 255;
  device->StillIsVirtual = 1;
  ULONG count = 0;
  for (ULONG j = 0; j < numberOfPipes; ++j) {
    const PipeEntry& pipe = device->PipeTable[j];
    if ((pipe.Role & 0x08) != 0) continue;
    const bool isochronous = (pipe.TransferType & 1) != 0;
    const bool bulk = !isochronous && (pipe.TransferType & 2) != 0;
    const auto index = static_cast<LONG>(j);
    switch (pipe.Role) {
      case 1:
        if (pipe.Association != 3 && pipe.DirectionIn) {
          // Association 1 serves stream 0, association 2 stream 1.
          const UCHAR stream = (pipe.Association & 1) != 0 ? 0 : 1;
          if (isochronous) {
            device->IsoDataPipeIndex = index;
            device->IsoDataStream = stream;
          } else if (bulk) {
            device->BulkDataPipeIndex = index;
            device->BulkDataStream = stream;
          }
          count += 1;
        }
        break;
      case 2:
        if ((pipe.Association & 3) != 0 && pipe.DirectionIn) {
          if (isochronous) {
            device->IsoDataPipeIndex = index;
            device->IsoDataStream = 0;
          } else if (bulk) {
            device->BulkDataPipeIndex = index;
            device->BulkDataStream = 0;
          }
          count += 2;
          device->StillIsVirtual = 1;
        }
        break;
      case 4:
        if (isochronous && pipe.DirectionIn) device->SyncPipeIndex = index;
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

  auto* deviceDescriptor = Allocate<USB_DEVICE_DESCRIPTOR>(sizeof(USB_DEVICE_DESCRIPTOR));
  if (deviceDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ReadDeviceDescriptor(device, deviceDescriptor);
  if (!NT_SUCCESS(status)) {
    ExFreePool(deviceDescriptor);
    return status;
  }
  Free(device->DeviceDescriptor);
  device->DeviceDescriptor = deviceDescriptor;

  USB_CONFIGURATION_DESCRIPTOR* configuration = nullptr;
  status = ReadConfiguration(device, &configuration);
  if (!NT_SUCCESS(status)) return status;

  const ULONG interfaces = configuration->bNumInterfaces;
  auto* list =
      Allocate<USBD_INTERFACE_LIST_ENTRY>((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
  URB* select = nullptr;
  USHORT* words = nullptr;
  ULONG pipes = 0;
  if (list == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG found = 0;
    for (ULONG i = 0; i < interfaces; ++i) {
      USB_INTERFACE_DESCRIPTOR* descriptor = USBD_ParseConfigurationDescriptorEx(
          configuration, configuration, static_cast<LONG>(i), -1, -1, -1, -1);
      if (descriptor == nullptr) break;
      list[found].InterfaceDescriptor = descriptor;
      list[found].Interface = nullptr;
      ++found;
    }
    list[found] = {nullptr, nullptr};
    select = found != 0 ? USBD_CreateConfigurationRequestEx(configuration, list) : nullptr;
    if (found == 0) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else if (select == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  USBD_INTERFACE_INFORMATION* interface0 = NT_SUCCESS(status) ? list[0].Interface : nullptr;
  if (NT_SUCCESS(status)) {
    pipes = interface0->NumberOfPipes;
    if (HasExtendedCallbackTable(device)) {
      words = Allocate<USHORT>((pipes > 0 ? pipes : 1) * sizeof(USHORT));
      if (words == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        RtlZeroMemory(words, (pipes > 0 ? pipes : 1) * sizeof(USHORT));
        status = CallConfigure(device, interface0, configuration, pipes, words);
      }
    } else {
      status = CallBasicConfigure(device, interface0, configuration, &device->IsoDataPipeIndex,
                                  &device->SyncPipeIndex);
      device->IsoDataStream = 0;
      device->BulkDataStream = 255;
      device->BulkDataPipeIndex = -1;
      device->StillIsVirtual = 1;
    }
  }

  if (NT_SUCCESS(status)) status = SubmitUrbSync(device, select);
  // A selection the bus driver refused leaves no pipes to stream on: fail
  // rather than go on as configured.
  if (NT_SUCCESS(status) && !USBD_SUCCESS(select->UrbHeader.Status)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status) && words != nullptr) {
    Free(device->PipeTable);
    device->PipeTable = Allocate<PipeEntry>((pipes > 0 ? pipes : 1) * sizeof(PipeEntry));
    device->NumberOfPipes = device->PipeTable != nullptr ? pipes : 0;
    if (device->PipeTable == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      for (ULONG j = 0; j < pipes; ++j) {
        const USBD_PIPE_INFORMATION& info = interface0->Pipes[j];
        PipeEntry& entry = device->PipeTable[j];
        entry.TransferType = static_cast<UCHAR>(info.PipeType & 3);
        entry.DirectionIn = (info.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? 1 : 0;
        entry.MaxPacketSize = info.MaximumPacketSize;
        entry.Association = static_cast<UCHAR>(words[j] & 0xFF);
        entry.Role = static_cast<UCHAR>(words[j] >> 8);
        entry.PendingTransfer = entry.SavedTransfer = nullptr;
      }
      status = ClassifyPipes(device, pipes);
    }
  }
  if (NT_SUCCESS(status)) {
    device->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;
    Free(device->InterfaceInfo);
    device->InterfaceInfo = Allocate<USBD_INTERFACE_INFORMATION>(interface0->Length);
    if (device->InterfaceInfo == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlCopyMemory(device->InterfaceInfo, interface0, interface0->Length);
    }
  }

  Free(select);
  Free(list);
  Free(words);
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
