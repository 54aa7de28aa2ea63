// The bus's engine: parking requests, cancellation, and the DPC that asks
// the model, lets its delays run, finishes and completes requests.
#include <algorithm>
#include <cstring>
#include <set>

#include "platform/host/scheduler.h"
#include "platform/host/usb_bus_core.h"

namespace veltocam::host::usbbus {

NTSTATUS BusCore::ParkLocked(std::unique_ptr<Request> request) {
  if (request->urb != nullptr) request->urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(request->irp);
  InsertPendingLocked(std::move(request));
  ScheduleLocked();
  return STATUS_PENDING;
}

void BusCore::InsertPendingLocked(std::unique_ptr<Request> request) {
  const std::uint64_t seq = request->seq;
  IRP* irp = request->irp;
  pending_.emplace(seq, std::move(request));
  if (!attached_) {
    MoveToReadyLocked(seq, USBD_STATUS_DEVICE_GONE);
    return;
  }
  IoSetCancelRoutine(irp, &BusCore::CancelRoutine);
  // Cancelled before it could wait (and its cancel routine did not run):
  // it ends now.
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0 &&
      IoSetCancelRoutine(irp, nullptr) != nullptr) {
    MoveToReadyLocked(seq, USBD_STATUS_CANCELED);
  }
}

bool BusCore::ClaimLocked(Request& request) {
  if (request.cancelRunning) return false;
  if (IoSetCancelRoutine(request.irp, nullptr) == nullptr) {
    // Its cancel routine is on its way to move it.
    request.cancelRunning = true;
    return false;
  }
  return true;
}

void BusCore::MoveToReadyLocked(std::uint64_t seq, USBD_STATUS status) {
  auto it = pending_.find(seq);
  std::unique_ptr<Request> request = std::move(it->second);
  pending_.erase(it);
  request->usbd = status;
  request->bytes = 0;
  ready_.push_back(std::move(request));
}

void BusCore::FailPendingLocked(const std::function<bool(const Request&)>& which,
                                USBD_STATUS status) {
  std::vector<std::uint64_t> chosen;
  for (auto& [seq, request] : pending_) {
    if (which(*request) && ClaimLocked(*request)) chosen.push_back(seq);
  }
  for (std::uint64_t seq : chosen) MoveToReadyLocked(seq, status);
  if (inFlight_ != nullptr && which(*inFlight_)) inFlight_->lateFailure = status;
}

void BusCore::CancelRoutine(DEVICE_OBJECT* device, IRP* irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<BusCore*>(device->DeviceExtension);
  std::lock_guard lock(bus->lock_);
  for (auto& [seq, request] : bus->pending_) {
    if (request->irp == irp) {
      bus->MoveToReadyLocked(seq, USBD_STATUS_CANCELED);
      break;
    }
  }
  bus->ScheduleLocked();
}

// The head of each queue that the model has yet to see, or that waits for
// data the model has announced since.
std::unique_ptr<Request> BusCore::TakeActivatableLocked() {
  std::set<std::uintptr_t> seen;
  for (auto& [seq, request] : pending_) {
    if (request->queue == kNoQueue || !seen.insert(request->queue).second) continue;
    const bool wanted =
        request->phase == Phase::Queued || (request->phase == Phase::WaitingForData &&
                                            dataReady_.count(request->pipe.endpoint.address) != 0);
    if (!wanted || !ClaimLocked(*request)) continue;
    std::unique_ptr<Request> taken = std::move(request);
    pending_.erase(seq);
    return taken;
  }
  return nullptr;
}

std::unique_ptr<Request> BusCore::TakeDueLocked(std::uint64_t now) {
  Request* best = nullptr;
  for (auto& [seq, request] : pending_) {
    if (request->phase != Phase::Scheduled || request->due > now || request->cancelRunning) {
      continue;
    }
    if (best == nullptr || request->due < best->due) best = request.get();
  }
  if (best == nullptr || !ClaimLocked(*best)) return nullptr;
  auto it = pending_.find(best->seq);
  std::unique_ptr<Request> taken = std::move(it->second);
  pending_.erase(it);
  return taken;
}

bool BusCore::HasWorkLocked(std::uint64_t now) {
  if (!ready_.empty() || unplugRequested_) return true;
  std::set<std::uintptr_t> seen;
  for (auto& [seq, request] : pending_) {
    if (request->phase == Phase::Scheduled && request->due <= now && !request->cancelRunning) {
      return true;
    }
    // As TakeActivatableLocked: only a queue's head can be asked.
    if (request->queue == kNoQueue || !seen.insert(request->queue).second) continue;
    if (request->cancelRunning) continue;
    if (request->phase == Phase::Queued) return true;
    if (request->phase == Phase::WaitingForData &&
        dataReady_.count(request->pipe.endpoint.address) != 0) {
      return true;
    }
  }
  return false;
}

void BusCore::ScheduleLocked() {
  if (closing_) return;
  const std::uint64_t now = Now();
  if (HasWorkLocked(now)) {
    QueueDeviceDpc(&dpc_);
    return;
  }
  std::uint64_t earliest = UINT64_MAX;
  for (auto& [seq, request] : pending_) {
    if (request->phase == Phase::Scheduled && !request->cancelRunning) {
      earliest = std::min(earliest, request->due);
    }
  }
  if (earliest == UINT64_MAX) {
    KeCancelTimer(&timer_);
    return;
  }
  SetDeviceTimer(&timer_, -static_cast<LONGLONG>(earliest > now ? earliest - now : 0), 0, &dpc_);
}

void BusCore::DpcRoutine(KDPC*, PVOID context, PVOID, PVOID) {
  static_cast<BusCore*>(context)->RunDpc();
}

void BusCore::RunDpc() {
  for (;;) {
    enum class Step { Unplug, Complete, Finish, Activate } step;
    std::unique_ptr<Request> request;
    {
      std::lock_guard lock(lock_);
      const std::uint64_t now = Now();
      if (closing_) return;
      if (unplugRequested_) {
        unplugRequested_ = false;
        step = Step::Unplug;
      } else if (!ready_.empty()) {
        request = std::move(ready_.front());
        ready_.pop_front();
        step = Step::Complete;
      } else if ((request = TakeDueLocked(now))) {
        step = Step::Finish;
      } else if ((request = TakeActivatableLocked())) {
        step = Step::Activate;
        inFlight_ = request.get();
      } else {
        // Announced data nobody waits for is not kept: the next request on
        // that endpoint asks the model afresh anyway.
        for (auto it = dataReady_.begin(); it != dataReady_.end();) {
          const bool waited = std::any_of(pending_.begin(), pending_.end(), [&](const auto& p) {
            return p.second->phase == Phase::WaitingForData &&
                   p.second->pipe.endpoint.address == *it;
          });
          it = waited ? std::next(it) : dataReady_.erase(it);
        }
        ScheduleLocked();
        return;
      }
    }
    switch (step) {
      case Step::Unplug:
        Detach();
        break;
      case Step::Complete:
        Complete(std::move(request));
        break;
      case Step::Finish: {
        Finish(*request);
        std::lock_guard lock(lock_);
        ready_.push_back(std::move(request));
        break;
      }
      case Step::Activate:
        Activate(std::move(request));
        break;
    }
  }
}

UsbReply BusCore::AskModel(Request& request) {
  std::lock_guard modelGuard(modelLock_);
  if (model_ == nullptr) return UsbReply::Fail(USBD_STATUS_DEVICE_GONE);
  switch (request.kind) {
    case Kind::Control:
      return model_->ControlTransfer(request.setup, request.data);
    case Kind::Transfer:
      if (request.in) return model_->BulkOrInterruptIn(request.pipe.endpoint.address, request.data);
      return model_->BulkOrInterruptOut(request.pipe.endpoint.address, request.data);
    case Kind::SelectConfiguration:
    case Kind::SelectInterface:
      return AskSelection(*request.selection, request.kind);
    case Kind::PortStatus:
      return model_->QueryPortStatus();
    case Kind::ResetPort:
      return model_->ResetPort();
    default:
      return UsbReply::Done();
  }
}

void BusCore::Activate(std::unique_ptr<Request> request) {
  const bool portRequest = request->kind == Kind::PortStatus || request->kind == Kind::ResetPort;
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  {
    std::lock_guard lock(lock_);
    if (request->kind == Kind::Transfer) {
      dataReady_.erase(request->pipe.endpoint.address);
      Pipe* pipe = FindPipeLocked(request->pipe.handle);
      if (pipe != nullptr && pipe->halted) refusal = USBD_STATUS_ENDPOINT_HALTED;
    }
    if (!portEnabled_ && !portRequest) refusal = USBD_STATUS_DEV_NOT_RESPONDING;
  }
  UsbReply reply = refusal != USBD_STATUS_SUCCESS ? UsbReply::Fail(refusal) : AskModel(*request);
  // The model's word is checked like any device's: no more bytes than asked.
  reply.bytes = std::min<ULONG>(reply.bytes, static_cast<ULONG>(request->data.size()));
  CheckTransferReply(*request, reply);
  if (reply.delay < 0) reply.delay = 0;
  if (reply.when == UsbReply::When::WhenDataReady &&
      !(request->kind == Kind::Transfer && request->in)) {
    reply.when = UsbReply::When::Never;
  }
  request->usbd = reply.status;
  request->bytes = reply.bytes;
  std::lock_guard lock(lock_);
  inFlight_ = nullptr;
  const std::uint64_t seq = request->seq;
  if (request->lateFailure != USBD_STATUS_SUCCESS) {
    const USBD_STATUS status = request->lateFailure;
    pending_.emplace(seq, std::move(request));
    MoveToReadyLocked(seq, status);
    return;
  }
  switch (reply.when) {
    case UsbReply::When::After:
      request->phase = Phase::Scheduled;
      request->due = Now() + static_cast<std::uint64_t>(reply.delay);
      break;
    case UsbReply::When::Never:
      request->phase = Phase::Never;
      break;
    case UsbReply::When::WhenDataReady:
      request->phase = Phase::WaitingForData;
      break;
  }
  InsertPendingLocked(std::move(request));
}

void BusCore::Finish(Request& request) {
  switch (request.kind) {
    case Kind::Isoch:
      GatherIsochPackets(request);
      break;
    case Kind::SelectConfiguration:
    case Kind::SelectInterface:
      if (USBD_SUCCESS(request.usbd)) ApplySelection(request);
      break;
    case Kind::PortStatus:
      if (USBD_SUCCESS(request.usbd)) *request.portStatus = PortBits();
      break;
    case Kind::ResetPort:
      if (USBD_SUCCESS(request.usbd)) {
        {
          std::lock_guard lock(lock_);
          portEnabled_ = attached_;
          disabledFromFrame_ = UINT64_MAX;
          for (ActiveInterface& i : active_.interfaces) {
            for (Pipe& p : i.pipes) p.halted = false;
          }
          FailPendingLocked(
              [](const Request& r) {
                return r.kind != Kind::PortStatus && r.kind != Kind::ResetPort;
              },
              USBD_STATUS_CANCELED);
        }
        RestoreDeviceState();
      }
      break;
    case Kind::AbortPipe: {
      std::lock_guard modelGuard(modelLock_);
      if (model_ != nullptr) model_->PipeAborted(request.pipe.endpoint.address);
      break;
    }
    case Kind::ResetPipe: {
      {
        std::lock_guard lock(lock_);
        if (Pipe* pipe = FindPipeLocked(request.pipe.handle)) pipe->halted = false;
      }
      std::lock_guard modelGuard(modelLock_);
      if (model_ != nullptr) model_->PipeReset(request.pipe.endpoint.address);
      break;
    }
    case Kind::Transfer:
      if (request.usbd == USBD_STATUS_STALL_PID || request.usbd == USBD_STATUS_BUFFER_OVERRUN) {
        std::lock_guard lock(lock_);
        if (Pipe* pipe = FindPipeLocked(request.pipe.handle)) pipe->halted = true;
      }
      break;
    case Kind::Control:
      break;
  }
  request.finished = true;
}

void BusCore::Complete(std::unique_ptr<Request> request) {
  IRP* irp = request->irp;
  URB* urb = request->urb;
  NTSTATUS status = NtStatusForUsbd(request->usbd);
  if (request->kind == Kind::PortStatus && request->usbd == USBD_STATUS_DEVICE_GONE) {
    // A port whose device left answers, and says so.
    *request->portStatus = 0;
    status = STATUS_SUCCESS;
  }
  if (urb != nullptr) {
    urb->UrbHeader.Status = request->usbd;
    if (request->transferLength != nullptr) {
      if (request->in && request->bytes != 0) {
        std::memcpy(request->transferBuffer, request->data.data(), request->bytes);
      }
      *request->transferLength = request->bytes;
    }
    if (request->kind == Kind::Isoch && !request->finished) {
      // Cancelled or gone before its frames were gathered.
      _URB_ISOCH_TRANSFER& t = urb->UrbIsochronousTransfer;
      USBD_ISO_PACKET_DESCRIPTOR* packets = t.IsoPacket;
      for (ULONG i = 0; i < request->packets; ++i) {
        packets[i].Length = 0;
        packets[i].Status = request->usbd;
      }
      t.ErrorCount = request->packets;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  LogCompletion(request->seq, status, request->usbd, request->bytes);
  request.reset();
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace veltocam::host::usbbus
