// Streams as the port runs them: open with a format, control requests,
// reads with their time-outs and cancellation, close.
#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port_internal.h"

namespace veltocam::host {

using port::Request;

NTSTATUS StreamClassPort::OpenStream(PortDevice* device, ULONG number, const KSDATAFORMAT* format,
                                     PortStream** result) {
  State& s = *state_;
  *result = nullptr;
  const HW_STREAM_DESCRIPTOR* info = device->Descriptor();
  // Only the streams the driver described can be opened.
  if (info == nullptr || number >= info->StreamHeader.NumberOfStreams || format == nullptr ||
      format->FormatSize < sizeof(KSDATAFORMAT)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto owned = std::make_unique<PortStream>();
  PortStream* stream = owned.get();
  stream->device = device;
  stream->format.assign(format->FormatSize / 8 + 1, 0);
  RtlCopyMemory(stream->format.data(), format, format->FormatSize);
  stream->extension =
      ExAllocatePoolWithTag(NonPagedPool, s.registration.PerStreamExtensionSize, kPortPoolTag);
  if (stream->extension == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(stream->extension, s.registration.PerStreamExtensionSize);
  HW_STREAM_OBJECT& object = stream->object;
  object.SizeOfThisPacket = sizeof object;
  object.StreamNumber = number;
  object.HwStreamExtension = stream->extension;
  object.HwDeviceExtension = device->extension;

  const NTSTATUS status = s.Synchronous(
      device, stream, SRB_OPEN_STREAM, s.registration.HwReceivePacket,
      [stream](HW_STREAM_REQUEST_BLOCK* srb) {
        srb->CommandData.OpenFormat = reinterpret_cast<KSDATAFORMAT*>(stream->format.data());
      },
      {});
  if (!NT_SUCCESS(status)) {
    ExFreePool(stream->extension);
    return status;
  }
  if (object.ReceiveDataPacket == nullptr || object.ReceiveControlPacket == nullptr) {
    ContractViolation("a stream opened without data and control entries");
  }
  stream->open = true;
  device->streams.push_back(std::move(owned));
  *result = stream;
  return STATUS_SUCCESS;
}

NTSTATUS StreamClassPort::CloseStream(PortStream* stream) {
  State& s = *state_;
  PortDevice* device = stream->device;
  if (!stream->open) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status =
      s.Synchronous(device, stream, SRB_CLOSE_STREAM, s.registration.HwReceivePacket, {}, {});
  stream->open = false;
  // Reads the driver still finishes come back before the stream goes.
  if (!s.WaitFor([&] { return s.PendingOf(device, stream) == 0; }, kRequestWait)) {
    ContractViolation("a stream closed with requests still at the driver");
    return status;
  }
  // The stream object and its extension end with the close, as on the
  // platform: a driver that still reaches them afterwards is caught.
  s.WaitFor([&] { return !s.Holds(stream); }, kRequestWait);
  ExFreePool(stream->extension);
  stream->extension = nullptr;
  return status;
}

NTSTATUS StreamClassPort::StreamControl(PortStream* stream, SRB_COMMAND command,
                                        const RequestSetup& setup, const RequestSetup& result) {
  if (!stream->open) return STATUS_INVALID_PARAMETER;
  return state_->Synchronous(stream->device, stream, command, stream->object.ReceiveControlPacket,
                             setup, result);
}

HW_STREAM_REQUEST_BLOCK* StreamClassPort::SubmitRead(PortStream* stream, KSSTREAM_HEADER* header,
                                                     StreamRequestDone done) {
  State& s = *state_;
  if (!stream->open) return nullptr;
  Request* request = s.Issue(stream->device, stream, SRB_READ_DATA, true);
  HW_STREAM_REQUEST_BLOCK* srb = &request->srb;
  srb->CommandData.DataBufferArray = header;
  srb->NumberOfBuffers = 1;
  request->done = std::move(done);
  s.ArmTimeouts(stream->device);
  s.Send(request, stream->object.ReceiveDataPacket);
  return srb;
}

bool StreamClassPort::CancelRead(HW_STREAM_REQUEST_BLOCK* srb) {
  State& s = *state_;
  Request* request = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.requests.find(srb);
    if (it == s.requests.end() || it->second->completed) return false;
    request = it->second.get();
    request->pins += 1;
  }
  if (s.registration.HwCancelPacket != nullptr) {
    // The platform cancels from an I/O cancel routine, at DISPATCH_LEVEL.
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    s.registration.HwCancelPacket(srb);
    KeLowerIrql(oldIrql);
  }
  std::lock_guard lock(s.mutex);
  request->pins -= 1;
  s.RetireIfDone(request);
  return true;
}

}  // namespace veltocam::host
