// The host USB bus: its device object, plugging a device in and out, the
// port, and what programs and tests can observe.
#include "platform/host/usb_bus.h"

#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"
#include "platform/host/usb_bus_core.h"

namespace veltocam::host {
namespace usbbus {

namespace {
constexpr std::size_t kLogCapacity = 4096;
}

BusCore::BusCore() {
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &BusCore::DispatchInternalControl;
  device_.DriverObject = &driver_;
  device_.DeviceExtension = this;
  device_.StackSize = 1;
  driver_.DeviceObject = &device_;
  KeInitializeTimer(&timer_);
  KeInitializeDpc(&dpc_, &BusCore::DpcRoutine, this);
}

BusCore::~BusCore() {
  Detach();
  {
    std::lock_guard lock(lock_);
    closing_ = true;
  }
  KeCancelTimer(&timer_);
  KeRemoveQueueDpc(&dpc_);
  if (CurrentSchedulerMode() == SchedulerMode::RealTime) KeFlushQueuedDpcs();
  // What the DPC would have completed: the requests the unplug failed.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (;;) {
    std::unique_ptr<Request> request;
    {
      std::lock_guard lock(lock_);
      if (!ready_.empty()) {
        request = std::move(ready_.front());
        ready_.pop_front();
      } else if (!pending_.empty()) {
        request = std::move(pending_.begin()->second);
        pending_.erase(pending_.begin());
        IoSetCancelRoutine(request->irp, nullptr);
        request->usbd = USBD_STATUS_DEVICE_GONE;
      }
    }
    if (!request) break;
    Complete(std::move(request));
  }
  KeLowerIrql(old);
}

void BusCore::Attach(UsbDeviceModel& model) {
  {
    std::lock_guard lock(lock_);
    if (attached_ || unplugRequested_) {
      ContractViolation("UsbBus::Attach while a device is plugged in");
      return;
    }
  }
  // The bus learns the device's configurations once, as the hub driver does
  // at enumeration.
  std::vector<UsbConfiguration> configurations;
  std::lock_guard modelGuard(modelLock_);
  const std::vector<UCHAR> device = model.DeviceDescriptor();
  UCHAR count = 1;
  if (device.size() >= sizeof(USB_DEVICE_DESCRIPTOR) && device[1] == USB_DEVICE_DESCRIPTOR_TYPE) {
    count = device[offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations)];
  }
  for (UCHAR index = 0; index < count; ++index) {
    if (auto parsed = ParseConfiguration(model.ConfigurationDescriptor(index))) {
      configurations.push_back(std::move(*parsed));
    }
  }
  {
    std::lock_guard lock(lock_);
    attached_ = true;
    portEnabled_ = true;
    disabledFromFrame_ = UINT64_MAX;
    configurations_ = std::move(configurations);
    active_ = {};
    dataReady_.clear();
  }
  model_ = &model;
  model.Attached(*this);
}

void BusCore::Detach() {
  {
    std::lock_guard modelGuard(modelLock_);
    if (model_ == nullptr) return;
    model_->Detached();
    model_ = nullptr;
  }
  std::lock_guard lock(lock_);
  attached_ = false;
  portEnabled_ = false;
  active_ = {};
  configurations_.clear();
  dataReady_.clear();
  FailPendingLocked([](const Request&) { return true; }, USBD_STATUS_DEVICE_GONE);
  ScheduleLocked();
}

bool BusCore::IsAttached() const {
  std::lock_guard lock(lock_);
  return attached_;
}

ULONG BusCore::PortBits() const {
  std::lock_guard lock(lock_);
  if (!attached_) return 0;
  return USBD_PORT_CONNECTED | (portEnabled_ ? USBD_PORT_ENABLED : 0);
}

UCHAR BusCore::ConfigurationValue() const {
  std::lock_guard lock(lock_);
  return active_.handle != nullptr ? active_.value : 0;
}

int BusCore::AlternateSetting(UCHAR interfaceNumber) const {
  std::lock_guard lock(lock_);
  for (const ActiveInterface& i : active_.interfaces) {
    if (i.setting.interfaceNumber == interfaceNumber) return i.setting.alternateSetting;
  }
  return -1;
}

std::size_t BusCore::PendingRequests() const {
  std::lock_guard lock(lock_);
  return pending_.size() + ready_.size() + (inFlight_ != nullptr ? 1 : 0);
}

std::vector<UsbRequestRecord> BusCore::Requests() const {
  std::lock_guard lock(lock_);
  return {log_.begin(), log_.end()};
}

std::size_t BusCore::RequestCount(USHORT urbFunction) const {
  std::lock_guard lock(lock_);
  auto it = urbCounts_.find(urbFunction);
  return it == urbCounts_.end() ? 0 : it->second;
}

std::size_t BusCore::IoctlCount(ULONG ioControlCode) const {
  std::lock_guard lock(lock_);
  auto it = ioctlCounts_.find(ioControlCode);
  return it == ioctlCounts_.end() ? 0 : it->second;
}

void BusCore::ClearRequestLog() {
  std::lock_guard lock(lock_);
  log_.clear();
  urbCounts_.clear();
  ioctlCounts_.clear();
}

void BusCore::LogLocked(const UsbRequestRecord& record) {
  ++ioctlCounts_[record.ioControlCode];
  if (record.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && record.function != 0xFFFF) {
    ++urbCounts_[record.function];
  }
  log_.push_back(record);
  if (log_.size() > kLogCapacity) log_.pop_front();
}

void BusCore::LogCompletion(std::uint64_t seq, NTSTATUS status, USBD_STATUS usbd, ULONG bytes) {
  std::lock_guard lock(lock_);
  // The log is in sequence order; old entries may have been dropped.
  for (auto it = log_.rbegin(); it != log_.rend() && it->sequence >= seq; ++it) {
    if (it->sequence == seq) {
      it->completed = true;
      it->status = status;
      it->usbdStatus = usbd;
      it->bytes = bytes;
      return;
    }
  }
}

ULONG BusCore::CurrentFrame() const {
  return static_cast<ULONG>(Now() / kFrameTicks);
}

void BusCore::DataReady(UCHAR endpointAddress) {
  std::lock_guard lock(lock_);
  dataReady_.insert(endpointAddress);
  ScheduleLocked();
}

void BusCore::DisablePort() {
  std::lock_guard lock(lock_);
  DisablePortLocked();
}

void BusCore::DisablePortLocked() {
  if (!attached_ || !portEnabled_) return;
  portEnabled_ = false;
  disabledFromFrame_ = Now() / kFrameTicks + 1;
  FailPendingLocked(
      [](const Request& r) {
        return r.kind != Kind::Isoch && r.kind != Kind::PortStatus && r.kind != Kind::ResetPort &&
               r.kind != Kind::AbortPipe && r.kind != Kind::ResetPipe;
      },
      USBD_STATUS_DEV_NOT_RESPONDING);
  ScheduleLocked();
}

void BusCore::Unplug() {
  std::lock_guard lock(lock_);
  unplugRequested_ = true;
  ScheduleLocked();
}

}  // namespace usbbus

UsbBus::UsbBus() : core_(std::make_unique<usbbus::BusCore>()) {}
UsbBus::~UsbBus() = default;
DEVICE_OBJECT* UsbBus::DeviceObject() const {
  return core_->Device();
}
void UsbBus::Attach(UsbDeviceModel& model) {
  core_->Attach(model);
}
void UsbBus::Detach() {
  core_->Detach();
}
bool UsbBus::IsAttached() const {
  return core_->IsAttached();
}
void UsbBus::DisablePort() {
  core_->DisablePort();
}
ULONG UsbBus::PortStatus() const {
  return core_->PortBits();
}
ULONG UsbBus::CurrentFrame() const {
  return core_->CurrentFrame();
}
UCHAR UsbBus::ConfigurationValue() const {
  return core_->ConfigurationValue();
}
int UsbBus::AlternateSetting(UCHAR interfaceNumber) const {
  return core_->AlternateSetting(interfaceNumber);
}
std::size_t UsbBus::PendingRequests() const {
  return core_->PendingRequests();
}
std::vector<UsbRequestRecord> UsbBus::Requests() const {
  return core_->Requests();
}
std::size_t UsbBus::RequestCount(USHORT urbFunction) const {
  return core_->RequestCount(urbFunction);
}
std::size_t UsbBus::IoctlCount(ULONG ioControlCode) const {
  return core_->IoctlCount(ioControlCode);
}
void UsbBus::ClearRequestLog() {
  core_->ClearRequestLog();
}

}  // namespace veltocam::host
