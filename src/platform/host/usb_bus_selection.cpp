// Selecting a configuration and an interface's alternate setting: the URB is
// checked against the device's own configuration descriptor, the device is
// asked (SET_CONFIGURATION, SET_INTERFACE) and the new pipes take effect when
// the request completes; transfers pending on pipes that go away are
// cancelled then.
#include "platform/host/usb_bus_core.h"

namespace veltocam::host::usbbus {
namespace {

// Opaque to the driver, never reused: a stale handle is always recognised.
std::atomic<std::uintptr_t> g_nextHandle{0x5B0000};

PVOID NewHandle() {
  return reinterpret_cast<PVOID>(g_nextHandle.fetch_add(0x10));
}

ActiveInterface MakeInterface(const UsbAlternateSetting& setting) {
  ActiveInterface active;
  active.setting = setting;
  active.handle = NewHandle();
  for (const UsbEndpointInfo& endpoint : setting.endpoints) {
    active.pipes.push_back({NewHandle(), endpoint, false});
  }
  return active;
}

// Fills what the bus driver reports; MaximumTransferSize and PipeFlags stay
// as the caller gave them.
void WriteInterface(USBD_INTERFACE_INFORMATION* info, const ActiveInterface& active) {
  info->Class = active.setting.interfaceClass;
  info->SubClass = active.setting.interfaceSubClass;
  info->Protocol = active.setting.interfaceProtocol;
  info->Reserved = 0;
  info->InterfaceHandle = active.handle;
  info->NumberOfPipes = static_cast<ULONG>(active.pipes.size());
  USBD_PIPE_INFORMATION* pipes = info->Pipes;  // the records run past the declared one
  for (std::size_t p = 0; p < active.pipes.size(); ++p) {
    const UsbEndpointInfo& e = active.pipes[p].endpoint;
    pipes[p].MaximumPacketSize = e.maxPacketSize;
    pipes[p].EndpointAddress = e.address;
    pipes[p].Interval = e.interval;
    pipes[p].PipeType = static_cast<USBD_PIPE_TYPE>(e.Type());
    pipes[p].PipeHandle = active.pipes[p].handle;
  }
}

// The checks an interface record of the driver's must pass before the bus
// writes its pipes into it.
USBD_STATUS CheckInterfaceRecord(const UsbConfiguration& configuration,
                                 const USBD_INTERFACE_INFORMATION& info,
                                 const UsbAlternateSetting** setting) {
  *setting = configuration.Find(info.InterfaceNumber, info.AlternateSetting);
  if (*setting == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (!(*setting)->Complete()) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  if (info.Length < GET_USBD_INTERFACE_SIZE(static_cast<ULONG>((*setting)->endpoints.size()))) {
    return USBD_STATUS_BUFFER_TOO_SMALL;
  }
  return USBD_STATUS_SUCCESS;
}

// The first failure, or the latest of the answers.
UsbReply Combine(const UsbReply& first, const UsbReply& second) {
  if (!USBD_SUCCESS(first.status) || first.when != UsbReply::When::After) return first;
  UsbReply combined = second;
  if (combined.when == UsbReply::When::After && first.delay > combined.delay) {
    combined.delay = first.delay;
  }
  return combined;
}

constexpr std::size_t kInterfaceHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// The driver says in its record how long its transfers on each pipe may be.
void TakeTransferSizes(ActiveInterface& active, const USBD_INTERFACE_INFORMATION* info) {
  const USBD_PIPE_INFORMATION* pipes = info->Pipes;  // the records run past the declared one
  for (std::size_t p = 0; p < active.pipes.size(); ++p) {
    active.pipes[p].maxTransfer = pipes[p].MaximumTransferSize;
  }
}

}  // namespace

const UsbConfiguration* BusCore::FindConfigurationLocked(UCHAR value) const {
  for (const UsbConfiguration& c : configurations_) {
    if (c.value == value) return &c;
  }
  return nullptr;
}

NTSTATUS BusCore::SubmitSelectConfiguration(IRP* irp, URB* urb, UsbRequestRecord& record) {
  _URB_SELECT_CONFIGURATION& s = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  auto selection = std::make_unique<Selection>();
  std::unique_lock lock(lock_);
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  const UsbConfiguration* configuration = nullptr;
  if (s.ConfigurationDescriptor == nullptr) {
    selection->unconfigure = true;
  } else {
    const USB_CONFIGURATION_DESCRIPTOR& d = *s.ConfigurationDescriptor;
    if (d.bLength >= sizeof(d) && d.bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      configuration = FindConfigurationLocked(d.bConfigurationValue);
    }
    if (configuration == nullptr) refusal = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  }
  record.setup = {0x00, 0x09, configuration != nullptr ? configuration->value : UCHAR{0}, 0, 0};
  if (configuration != nullptr) {
    // One record per interface of the configuration, back to back, all
    // inside the request's Length.
    auto* at = reinterpret_cast<UCHAR*>(&s.Interface);
    const UCHAR* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    for (UCHAR n = 0; n < configuration->numInterfaces && refusal == USBD_STATUS_SUCCESS; ++n) {
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(at);
      const UsbAlternateSetting* setting = nullptr;
      if (static_cast<std::size_t>(end - at) < kInterfaceHeader ||
          info->Length < kInterfaceHeader ||
          info->Length % alignof(USBD_INTERFACE_INFORMATION) != 0 || info->Length > end - at) {
        refusal = USBD_STATUS_INVALID_PARAMETER;
      } else if ((refusal = CheckInterfaceRecord(*configuration, *info, &setting)) ==
                 USBD_STATUS_SUCCESS) {
        for (const ActiveInterface& chosen : selection->configuration.interfaces) {
          if (chosen.setting.interfaceNumber == info->InterfaceNumber) {
            refusal = USBD_STATUS_INVALID_PARAMETER;
          }
        }
        selection->configuration.interfaces.push_back(MakeInterface(*setting));
        selection->records.push_back(info);
        at += info->Length;
      }
    }
    selection->configuration.value = configuration->value;
    selection->configuration.handle = NewHandle();
  }
  if (refusal != USBD_STATUS_SUCCESS) {
    lock.unlock();
    return Reject(irp, urb, refusal, record);
  }
  auto request = NewRequest(Kind::SelectConfiguration, irp, urb, record);
  request->selection = std::move(selection);
  request->queue = kDefaultPipeQueue;
  LogLocked(record);
  return ParkLocked(std::move(request));
}

NTSTATUS BusCore::SubmitSelectInterface(IRP* irp, URB* urb, UsbRequestRecord& record) {
  if (urb->UrbHeader.Length < offsetof(_URB_SELECT_INTERFACE, Interface) + kInterfaceHeader) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  _URB_SELECT_INTERFACE& s = urb->UrbSelectInterface;
  record.setup = {0x01, 0x0B, s.Interface.AlternateSetting, s.Interface.InterfaceNumber, 0};
  std::unique_lock lock(lock_);
  USBD_STATUS refusal = USBD_STATUS_INVALID_PARAMETER;
  const UsbAlternateSetting* setting = nullptr;
  if (active_.handle != nullptr && s.ConfigurationHandle == active_.handle) {
    if (const UsbConfiguration* configuration = FindConfigurationLocked(active_.value)) {
      refusal = CheckInterfaceRecord(*configuration, s.Interface, &setting);
    }
  }
  if (refusal != USBD_STATUS_SUCCESS) {
    lock.unlock();
    return Reject(irp, urb, refusal, record);
  }
  auto request = NewRequest(Kind::SelectInterface, irp, urb, record);
  request->selection = std::make_unique<Selection>();
  request->selection->interface = MakeInterface(*setting);
  request->selection->configurationHandle = active_.handle;
  request->queue = kDefaultPipeQueue;
  LogLocked(record);
  return ParkLocked(std::move(request));
}

UsbReply BusCore::AskSelection(const Selection& selection, Kind kind) {
  if (kind == Kind::SelectInterface) {
    return model_->SetInterface(selection.interface.setting.interfaceNumber,
                                selection.interface.setting.alternateSetting);
  }
  if (selection.unconfigure) return model_->SetConfiguration(0);
  // SET_CONFIGURATION puts every interface in setting 0; the others follow.
  UsbReply reply = model_->SetConfiguration(selection.configuration.value);
  for (const ActiveInterface& i : selection.configuration.interfaces) {
    if (i.setting.alternateSetting == 0) continue;
    if (!USBD_SUCCESS(reply.status) || reply.when != UsbReply::When::After) break;
    reply =
        Combine(reply, model_->SetInterface(i.setting.interfaceNumber, i.setting.alternateSetting));
  }
  return reply;
}

void BusCore::ApplySelection(Request& request) {
  Selection& selection = *request.selection;
  std::lock_guard lock(lock_);
  std::set<USBD_PIPE_HANDLE> closing;
  auto cancelOnClosingPipes = [&] {
    FailPendingLocked(
        [&](const Request& r) {
          return (r.kind == Kind::Transfer || r.kind == Kind::Isoch) &&
                 closing.count(r.pipe.handle) != 0;
        },
        USBD_STATUS_CANCELED);
  };
  if (request.kind == Kind::SelectInterface) {
    ActiveInterface* target = nullptr;
    if (active_.handle == selection.configurationHandle) {
      for (ActiveInterface& i : active_.interfaces) {
        if (i.setting.interfaceNumber == selection.interface.setting.interfaceNumber) target = &i;
      }
    }
    if (target == nullptr) {
      // The configuration changed while the request waited for the device.
      request.usbd = USBD_STATUS_INVALID_PARAMETER;
      return;
    }
    for (const Pipe& p : target->pipes) closing.insert(p.handle);
    cancelOnClosingPipes();
    *target = selection.interface;
    TakeTransferSizes(*target, &request.urb->UrbSelectInterface.Interface);
    WriteInterface(&request.urb->UrbSelectInterface.Interface, *target);
    return;
  }
  for (const ActiveInterface& i : active_.interfaces) {
    for (const Pipe& p : i.pipes) closing.insert(p.handle);
  }
  cancelOnClosingPipes();
  _URB_SELECT_CONFIGURATION& s = request.urb->UrbSelectConfiguration;
  if (selection.unconfigure) {
    active_ = {};
    s.ConfigurationHandle = nullptr;
    return;
  }
  active_ = selection.configuration;
  s.ConfigurationHandle = active_.handle;
  for (std::size_t i = 0; i < selection.records.size(); ++i) {
    TakeTransferSizes(active_.interfaces[i], selection.records[i]);
    WriteInterface(selection.records[i], active_.interfaces[i]);
  }
}

void BusCore::RestoreDeviceState() {
  ActiveConfiguration snapshot;
  {
    std::lock_guard lock(lock_);
    snapshot = active_;
  }
  std::lock_guard modelGuard(modelLock_);
  if (model_ == nullptr || snapshot.handle == nullptr) return;
  model_->SetConfiguration(snapshot.value);
  for (const ActiveInterface& i : snapshot.interfaces) {
    if (i.setting.alternateSetting != 0) {
      model_->SetInterface(i.setting.interfaceNumber, i.setting.alternateSetting);
    }
  }
}

}  // namespace veltocam::host::usbbus
