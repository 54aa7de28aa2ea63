// TransferSet: one isochronous transfer (a data request and, with a sync pipe,
// a sync request, 32 packets each) kept in flight by the frame engine. Two
// are embedded in every channel; they alternate.
#pragma once

#include "platform/usb.h"

struct ClassDevice;
struct Channel;

constexpr ULONG kTransferSetTag = 0x5452414E;
constexpr ULONG kTransferSetsPerChannel = 2;
constexpr ULONG kPacketsPerTransfer = 32;
constexpr ULONG kIsoRequestSize = 480;
// SyncIrp when the channel has no sync pipe.
inline IRP* const kNoSyncIrp = reinterpret_cast<IRP*>(~ULONG_PTR{0});

struct TransferSet {
  ULONG Tag;
  LONG PendingCount;  // requests still at the bus driver; changed interlocked
  ULONG PacketFlags;
  ULONG ValidDataOffset;
  UCHAR FrameComplete;
  ULONG BufferSize;   // (MaxPacketSize + 1) x 32
  UCHAR* DataBuffer;  // allocation + 32
  UCHAR* SyncBuffer;  // allocation: one sync byte per packet
  URB* SyncUrb;
  URB* DataUrb;
  IRP* SyncIrp;
  IRP* DataIrp;
  UCHAR* UrbBlock;  // both requests, 2 x 480 bytes
  KTIMER ResubmitTimer;
  KDPC ResubmitDpc;
  ClassDevice* Device;
  ::Channel* Channel;
};
