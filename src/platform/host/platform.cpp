#include "platform/host/platform.h"

#include "platform/host/contract_violations.h"
#include "platform/host/cpu.h"
#include "platform/host/device_keys.h"
#include "platform/host/files_host.h"
#include "platform/host/handles.h"
#include "platform/host/io_manager.h"
#include "platform/host/pool.h"
#include "platform/host/registry_store.h"
#include "platform/host/stream_port.h"
#include "platform/host/trace.h"

namespace veltocam::host {

void ResetPlatform(SchedulerMode mode) {
  ResetKernel(mode);
  CloseAllHandles();
  ResetIoManager();
  ResetPool();
  SetTraceSink({});
  SetCpuidOverride({});
  ResetStreamPort();
  ResetRegistry();
  ResetDeviceRegistryKeys();
  ResetFiles();  // the system root too: set it again after a reset
}

namespace {

void Note(std::string& text, std::size_t count, const char* what) {
  if (count == 0) return;
  if (!text.empty()) text += "; ";
  text += std::to_string(count) + " " + what;
}

}  // namespace

std::string DescribeLeftovers() {
  std::string text;
  if (OutstandingBlocks() != 0) text += "pool blocks outstanding: " + DescribeOutstandingPool();
  Note(text, OpenHandleCount(), "handles open");
  Note(text, ArmedTimerCount(), "timers armed");
  Note(text, QueuedDpcCount(), "DPCs queued");
  Note(text, QueuedWorkItemCount(), "work items queued");
  Note(text, IrpsAtDrivers(), "packets still at a driver");
  Note(text, KeGetCurrentIrql() != PASSIVE_LEVEL ? 1 : 0, "thread not back at PASSIVE_LEVEL");
  Note(text, ContractViolationCount(), "contract violations");
  return text;
}

}  // namespace veltocam::host
