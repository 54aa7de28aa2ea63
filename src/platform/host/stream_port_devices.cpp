// Loading the driver, starting and removing its devices, and the plug-and-play
// and power requests the port turns into device requests.
#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port_internal.h"

namespace veltocam::host {
namespace {

PortDevice* DeviceOfObject(DEVICE_OBJECT* deviceObject) {
  return static_cast<PortDevice*>(deviceObject->DeviceExtension);
}

NTSTATUS DeviceRequestOf(PortDevice* device, SRB_COMMAND command, const RequestSetup& setup) {
  StreamClassPort::State* port = device->port;
  return port->Synchronous(device, nullptr, command, port->registration.HwReceivePacket, setup, {});
}

// A query-interface goes to the driver as an unknown device command; what
// the driver does not answer keeps the status the requester set.
NTSTATUS DispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp) {
  PortDevice* device = DeviceOfObject(deviceObject);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_INTERFACE) {
    const NTSTATUS status =
        DeviceRequestOf(device, SRB_UNKNOWN_DEVICE_COMMAND,
                        [irp](HW_STREAM_REQUEST_BLOCK* srb) { srb->Irp = irp; });
    if (status != STATUS_NOT_IMPLEMENTED && status != STATUS_NOT_SUPPORTED) {
      irp->IoStatus.Status = status;
    }
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchPower(DEVICE_OBJECT* deviceObject, IRP* irp) {
  PortDevice* device = DeviceOfObject(deviceObject);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER &&
      stack->Parameters.Power.Type == DevicePowerState) {
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State;
    irp->IoStatus.Status = DeviceRequestOf(
        device, SRB_CHANGE_POWER_STATE,
        [state](HW_STREAM_REQUEST_BLOCK* srb) { srb->CommandData.DeviceState = state; });
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PowerDone(DEVICE_OBJECT*, IRP*, PVOID event) {
  KeSetEvent(static_cast<KEVENT*>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The stream information must fit the size the driver asked for at start.
bool StreamInformationFits(const PortDevice* device) {
  const HW_STREAM_HEADER& header = device->Descriptor()->StreamHeader;
  const std::size_t needed = sizeof(HW_STREAM_HEADER) +
                             std::size_t{header.NumberOfStreams} * sizeof(HW_STREAM_INFORMATION);
  return header.SizeOfHwStreamInformation == sizeof(HW_STREAM_INFORMATION) &&
         needed <= device->config.StreamDescriptorSize;
}

}  // namespace

NTSTATUS StreamClassPort::LoadDriver(DriverEntryRoutine entry) {
  State& s = *state_;
  s.driver.MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  s.driver.MajorFunction[IRP_MJ_POWER] = DispatchPower;
  UNICODE_STRING registryPath{};
  const NTSTATUS status = entry(&s.driver, &registryPath);
  if (NT_SUCCESS(status) && s.registrations != 1) {
    ContractViolation("a driver entry that did not register exactly once");
    return STATUS_UNSUCCESSFUL;
  }
  return status;
}

const HW_INITIALIZATION_DATA& StreamClassPort::Registration() const {
  return state_->registration;
}

NTSTATUS StreamClassPort::AddDevice(DEVICE_OBJECT* physicalDevice, PortDevice** result) {
  State& s = *state_;
  *result = nullptr;
  if (s.registrations == 0) return STATUS_INVALID_DEVICE_STATE;
  auto owned = std::make_unique<PortDevice>();
  PortDevice* device = owned.get();
  device->port = &s;
  device->physicalDevice = physicalDevice;
  device->extension =
      ExAllocatePoolWithTag(NonPagedPool, s.registration.DeviceExtensionSize, kPortPoolTag);
  if (device->extension == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(device->extension, s.registration.DeviceExtensionSize);
  device->deviceObject.DriverObject = &s.driver;
  device->deviceObject.DeviceExtension = device;
  device->deviceObject.Flags = DO_DEVICE_INITIALIZING;
  device->deviceObject.StackSize = static_cast<CHAR>(physicalDevice->StackSize + 1);
  KeInitializeTimerEx(&device->timeoutTimer, NotificationTimer);
  KeInitializeDpc(&device->timeoutDpc, &State::TimeoutDpc, device);
  PORT_CONFIGURATION_INFORMATION& config = device->config;
  config.SizeOfThisPacket = sizeof config;
  config.HwDeviceExtension = device->extension;
  config.ClassDeviceObject = &device->deviceObject;
  config.PhysicalDeviceObject = config.RealPhysicalDeviceObject = physicalDevice;
  {
    std::lock_guard lock(s.mutex);
    s.devices.push_back(std::move(owned));
  }

  NTSTATUS status =
      DeviceRequestOf(device, SRB_INITIALIZE_DEVICE,
                      [&](HW_STREAM_REQUEST_BLOCK* srb) { srb->CommandData.ConfigInfo = &config; });
  if (!NT_SUCCESS(status)) {
    device->uninitialised = true;  // a device that did not start is not uninitialised
    RemoveDevice(device);
    return status;
  }
  if (config.StreamDescriptorSize < sizeof(HW_STREAM_HEADER)) {
    ContractViolation("a started device that gave no stream descriptor size");
    RemoveDevice(device);
    return STATUS_UNSUCCESSFUL;
  }
  device->streamInfo.assign(config.StreamDescriptorSize / 8 + 1, 0);
  status = DeviceRequestOf(device, SRB_GET_STREAM_INFO, [&](HW_STREAM_REQUEST_BLOCK* srb) {
    srb->CommandData.StreamBuffer = device->streamInfo.data();
  });
  if (NT_SUCCESS(status) && !StreamInformationFits(device)) {
    ContractViolation("stream information larger than the descriptor size the driver gave");
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) status = DeviceRequestOf(device, SRB_INITIALIZATION_COMPLETE, {});
  if (!NT_SUCCESS(status)) {
    RemoveDevice(device);
    return status;
  }
  *result = device;
  return STATUS_SUCCESS;
}

NTSTATUS StreamClassPort::SurpriseRemoval(PortDevice* device) {
  return DeviceRequestOf(device, SRB_SURPRISE_REMOVAL, {});
}

NTSTATUS StreamClassPort::Uninitialize(PortDevice* device) {
  device->uninitialised = true;
  return DeviceRequestOf(device, SRB_UNINITIALIZE_DEVICE, {});
}

void StreamClassPort::RemoveDevice(PortDevice* device) {
  State& s = *state_;
  if (!device->uninitialised) SurpriseRemoval(device);
  // The clients' handles close with the device; after an uninitialisation
  // the driver is still owed these closes (its release may wait for them).
  for (auto& stream : device->streams) {
    if (stream->open) CloseStream(stream.get());
  }
  if (!device->uninitialised) Uninitialize(device);
  KeCancelTimer(&device->timeoutTimer);
  KeRemoveQueueDpc(&device->timeoutDpc);
  // A count-down already running on another thread still reads the device.
  if (CurrentSchedulerMode() == SchedulerMode::RealTime) KeFlushQueuedDpcs();
  s.ReportLeftovers(device, "when the device went away");
  for (auto& stream : device->streams) {
    if (stream->extension != nullptr) ExFreePool(stream->extension);
  }
  ExFreePool(device->extension);
  std::lock_guard lock(s.mutex);
  std::erase_if(s.devices, [device](const auto& d) { return d.get() == device; });
}

std::vector<PortDevice*> StreamClassPort::Devices() const {
  std::lock_guard lock(state_->mutex);
  std::vector<PortDevice*> devices;
  for (const auto& device : state_->devices) {
    if (device->Descriptor() != nullptr) devices.push_back(device.get());
  }
  return devices;
}

DEVICE_OBJECT* StreamClassPort::DeviceObject(PortDevice* device) const {
  return &device->deviceObject;
}

PVOID StreamClassPort::DeviceExtension(PortDevice* device) const {
  return device->extension;
}

const HW_STREAM_DESCRIPTOR* StreamClassPort::StreamInformation(PortDevice* device) const {
  return device->Descriptor();
}

NTSTATUS StreamClassPort::DeviceRequest(PortDevice* device, SRB_COMMAND command,
                                        const RequestSetup& setup, const RequestSetup& result) {
  return state_->Synchronous(device, nullptr, command, state_->registration.HwReceivePacket, setup,
                             result);
}

NTSTATUS StreamClassPort::SetPowerState(PortDevice* device, DEVICE_POWER_STATE state) {
  IRP* irp = IoAllocateIrp(device->deviceObject.StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = state;
  IoSetCompletionRoutine(irp, PowerDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(&device->deviceObject, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS StreamClassPort::EnableDeviceEvent(PortDevice* device, bool enable) {
  const HW_STREAM_DESCRIPTOR* info = device->Descriptor();
  const HW_STREAM_HEADER& header = info->StreamHeader;
  if (header.NumDevEventArrayEntries == 0 || header.DeviceEventRoutine == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  if (!enable && device->eventsEnabled == 0) return STATUS_INVALID_PARAMETER;
  HW_EVENT_DESCRIPTOR descriptor{};
  descriptor.Enable = enable ? TRUE : FALSE;
  descriptor.DeviceExtension = device->extension;
  descriptor.EnableEventSetIndex = 0;
  const NTSTATUS status = header.DeviceEventRoutine(&descriptor);
  if (NT_SUCCESS(status)) {
    std::lock_guard lock(state_->mutex);
    device->eventsEnabled += enable ? 1 : -1;
  }
  return status;
}

std::size_t StreamClassPort::DeviceEventsSignalled(PortDevice* device) const {
  std::lock_guard lock(state_->mutex);
  return device->eventsSignalled;
}

bool StreamClassPort::WaitForDeviceEvent(PortDevice* device, std::size_t seen,
                                         std::int64_t timeout) {
  return state_->WaitFor([&] { return device->eventsSignalled > seen; }, timeout);
}

std::size_t StreamClassPort::PendingRequests(PortDevice* device) const {
  std::lock_guard lock(state_->mutex);
  return state_->PendingOf(device, nullptr);
}

std::uint64_t StreamClassPort::RequestsIssued() const {
  std::lock_guard lock(state_->mutex);
  return state_->issued;
}

std::uint64_t StreamClassPort::RequestsCompleted() const {
  std::lock_guard lock(state_->mutex);
  return state_->completed;
}

}  // namespace veltocam::host
