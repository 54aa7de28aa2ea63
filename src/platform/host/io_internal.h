// State shared by the I/O manager's translation units: a side table with one
// record per packet, so that misuse the platform answers with a bug check
// (completing twice, freeing a packet a driver still holds, sending one that
// was never initialised) is caught here too.
#pragma once

#include <array>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/io.h"

namespace veltocam::host::io {

enum class IrpState {
  Idle,        // with its owner: may be sent, reused or freed
  Sent,        // at a driver (pending or being dispatched)
  Completing,  // completion routines of drivers below the owner are running
  // An I/O-manager packet whose routines have all run: it is finished (status
  // block, event, free) by an APC in the issuing thread, which runs only once
  // that thread is below APC_LEVEL.
  AwaitingApc,
};

struct IrpRecord {
  IrpState state = IrpState::Idle;
  // The owner's stack location when it sent the packet: completion is back
  // with the owner once it has walked up to this location.
  int ownerLocation = 0;
  bool fromPool = false;
  // Built by IoBuildDeviceIoControlRequest: the I/O manager reports to the
  // waiting thread and frees the packet when it completes.
  bool ioManagerOwned = false;
  void* issuer = nullptr;  // the thread context that built it (an ExecutionContext)
  bool everSent = false;
  bool bufferedOutput = false;  // copy the system buffer back at completion
  PVOID outputBuffer = nullptr;
  ULONG outputLength = 0;
  int pins = 0;  // IoCancelIrp calls in progress
  bool freeWhenUnpinned = false;
  // Where an I/O-manager internal device control's target writes back (a URB,
  // a port status): Argument1, 2 and 4 of the location its sender filled.
  std::array<PVOID, 3> targetArguments{};
};

struct IoState {
  std::mutex mutex;
  std::unordered_map<const IRP*, IrpRecord> irps;
  // I/O-manager packets already completed and freed: cancelling one of them
  // is a benign race with its completion, not a fault.
  std::unordered_set<const IRP*> retired;
  KSPIN_LOCK cancelLock = 0;
};

IoState& Io();

// Cancel and CancelRoutine are read and written from several threads without
// a common lock, as on the platform (interlocked exchange and plain flags);
// the host makes those accesses atomic.
inline bool CancelRequested(const IRP* irp) {
  return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0;
}
inline bool HasCancelRoutine(const IRP* irp) {
  return __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr;
}

// Caller holds Io().mutex. Null for a packet the I/O manager does not know.
IrpRecord* FindLocked(const IRP* irp);

// Completes an I/O-manager packet whose routines have all run: status to the
// caller's block, buffered output back, event set, packet freed. Runs in the
// issuing thread: at once when that is the current one below APC_LEVEL,
// otherwise as an APC queued to it.
void FinishIoManagerPacket(IRP* irp);

// Releases the memory of a pool packet (and its system buffer); caller holds
// Io().mutex and has checked that nobody holds it.
void ReleasePacketLocked(IRP* irp);

}  // namespace veltocam::host::io
