#include "platform/host/platform.h"

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

std::string DescribeLeftovers() {
  std::string text;
  if (OutstandingBlocks() != 0) text += "pool blocks outstanding: " + DescribeOutstandingPool();
  if (std::size_t handles = OpenHandleCount(); handles != 0) {
    if (!text.empty()) text += "; ";
    text += std::to_string(handles) + " handles open";
  }
  return text;
}

}  // namespace veltocam::host
