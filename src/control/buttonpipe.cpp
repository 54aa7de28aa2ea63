#include "control/buttonpipe.h"

#include "control/devicecontext.h"
#include "control/tracing.h"

namespace {

// One report at a time: the class layer re-arms the wait with this buffer.
// At least the largest packet an interrupt pipe of the family carries.
UCHAR ButtonReport[64];

}  // namespace

NTSTATUS WatchSnapshotButton(PVOID deviceContext, const ServiceInterface* services) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (services == nullptr || services->Version == 0 || services->InterruptWait == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  // The pipe types are the bus driver's answer to the selection, which only
  // the class layer keeps: it refuses every pipe that is not an interrupt pipe.
  const ULONG pipes = context->Interface != nullptr ? context->Interface->NumberOfPipes : 0;
  for (ULONG pipe = 0; pipe < pipes; ++pipe) {
    const NTSTATUS status = services->InterruptWait(deviceContext, pipe, ButtonReport,
                                                    sizeof ButtonReport, nullptr, nullptr, 1);
    if (status != STATUS_INVALID_PARAMETER) {
      DebugTrace("\n(Velto) Snapshot button on pipe %d: %x\n", static_cast<int>(pipe),
                 static_cast<unsigned>(status));
      return status;
    }
  }
  return STATUS_NO_MATCH;
}

void WatchButtonPipe(PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  // The shipped camera has no interrupt pipe: every pipe is refused, nothing starts.
  if (context->Services.Version != 0 && context->Services.InterruptWait != nullptr) {
    WatchSnapshotButton(deviceContext, &context->Services);
  }
}
