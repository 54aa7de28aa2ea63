#include "control/buttonpipe.h"

#include "control/devicecontext.h"
#include "control/tracing.h"

namespace {

// One report at a time: the class layer re-arms the wait with this buffer.
// At least the largest packet an interrupt pipe of the family carries.
UCHAR ButtonReport[64];

constexpr ULONG kNoPipe = ~0u;

// The first interrupt IN pipe of the selected interface.
ULONG ButtonPipe(const DeviceContext* context) {
  const USBD_INTERFACE_INFORMATION* info = context->Interface;
  const ULONG pipes = info != nullptr ? info->NumberOfPipes : 0;
  for (ULONG pipe = 0; pipe < pipes; ++pipe) {
    const USBD_PIPE_INFORMATION& p = info->Pipes[pipe];
    if (p.PipeType == UsbdPipeTypeInterrupt && (p.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)) {
      return pipe;
    }
  }
  return kNoPipe;
}

}  // namespace

NTSTATUS WatchSnapshotButton(PVOID deviceContext, const ServiceInterface* services) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (services == nullptr || services->Version == 0 || services->InterruptWait == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  const ULONG pipe = ButtonPipe(context);
  if (pipe == kNoPipe) return STATUS_NO_MATCH;
  const NTSTATUS status = services->InterruptWait(deviceContext, pipe, ButtonReport,
                                                  sizeof ButtonReport, nullptr, nullptr, 1);
  DebugTrace("\n(Velto) Snapshot button on pipe %d: %x\n", static_cast<int>(pipe),
             static_cast<unsigned>(status));
  return status;
}

void WatchButtonPipe(PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (context->Services.Version == 0 || context->Services.InterruptWait == nullptr ||
      ButtonPipe(context) == kNoPipe) {
    return;
  }
  WatchSnapshotButton(deviceContext, &context->Services);
}
