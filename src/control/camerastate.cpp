#include "control/camerastate.h"

#include <atomic>

#include "control/configstore.h"
#include "control/identification.h"
#include "control/streaming.h"
#include "control/vendorcommands.h"

namespace {

constexpr UCHAR kRestoreAlternateSetting = 7;
constexpr USHORT kSnapshotStatusIndex = 1;
constexpr ULONG kSnapshotStatusBytes = 2;
constexpr UCHAR kButtonPressed = 0x02;

// Bytes the last status answer brought. Asked afresh for every poll: an
// earlier short answer must not shrink the next request.
ULONG SnapshotStatusLength = kSnapshotStatusBytes;
// A poll is on its way; the answer lands in the module-wide SnapshotStatus,
// so a second one would share its buffer.
std::atomic<bool> SnapshotPollOutstanding{false};

}  // namespace

NTSTATUS WriteHwState(DeviceContext* context, UCHAR state) {
  return WriteDword(context->HwStateKeyPath, "HwState", state);
}

NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag) {
  if (flag == 0) context->GoodFrameCount = 0;
  return WriteDword(context->GoodFrameKeyPath, "Flag", flag);
}

NTSTATUS WriteHwSnap(DeviceContext* context) {
  return WriteDword(context->HwSnapKeyPath, "HWSNAP", 1);
}

bool RequestSnapshotStatus(DeviceContext* context) {
  if (SnapshotPollOutstanding.exchange(true)) return true;
  SnapshotStatusLength = kSnapshotStatusBytes;
  if (VendorReadAsync(context, kRequestSnapshotStatus, kSnapshotStatusIndex, SnapshotStatus,
                      &SnapshotStatusLength, SnapshotStatusComplete, context)) {
    return true;
  }
  // Failed at once: either completed already or never queued; none is pending.
  SnapshotPollOutstanding = false;
  return false;
}

void SnapshotStatusComplete(PVOID deviceContext, PVOID, NTSTATUS status) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  // An answer without its first byte says nothing about the button, whatever
  // an earlier answer left in the buffer.
  if (status == STATUS_SUCCESS && SnapshotStatusLength >= 1 &&
      (SnapshotStatus[0] & kButtonPressed) != 0) {
    WriteHwSnap(context);
    UCHAR again[kSnapshotStatusBytes] = {};
    ULONG length = kSnapshotStatusBytes;
    VendorRead(context, kRequestSnapshotStatus, kSnapshotStatusIndex, again, &length);
  }
  SnapshotPollOutstanding = false;
}

NTSTATUS SaveState(DEVICE_OBJECT*, PVOID) {
  return STATUS_SUCCESS;
}

void BeginCameraRestore(DeviceContext* context) {
  ReadCameraInfo(context, 0);
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  WriteHwState(context, 1);
  WriteGoodFrameFlag(context, 0);
}

bool ReviveCamera(DeviceContext* context) {
  LoadCaptureSettings(context);
  InitialiseCamera(context);
  // One setting below the highest: the bus may not have its full bandwidth back yet.
  if (!NT_SUCCESS(ChooseAlternateSetting(context, kRestoreAlternateSetting))) return false;
  context->MaxPacketSize = context->Interface->Pipes[0].MaximumPacketSize;
  MarkFrameValid(context);
  context->SequenceErrorCount = 0;
  context->NextSequenceByte = 0;
  return true;
}
