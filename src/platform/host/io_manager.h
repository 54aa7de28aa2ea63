// The host I/O manager's own services for programs and tests.
#pragma once

#include <cstddef>

#include "platform/io.h"

namespace veltocam::host {

// Forgets every packet it tracks and clears the cancel spin lock (the pool
// reset frees the memory of packets still allocated).
void ResetIoManager();

// Packets sent to a driver and not yet back with their owner.
std::size_t IrpsAtDrivers();

// The pool tag of packets from IoAllocateIrp and IoBuildDeviceIoControlRequest.
constexpr ULONG kIrpPoolTag = PoolTag("Irp ");

}  // namespace veltocam::host
