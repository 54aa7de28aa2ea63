// Kernel-streaming property requests as the stream-class port hands them to a
// minidriver (SRB_GET_STREAM_PROPERTY and the device property requests), and
// the records of the two stream property sets every capture pin answers.
#pragma once

#include "platform/streamclass.h"

struct KSIDENTIFIER {
  GUID Set;
  ULONG Id;
  ULONG Flags;
};
using KSPROPERTY = KSIDENTIFIER;

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;

// CommandData.PropertyInfo of a property request; the minidriver reports the
// bytes it returned in the request's ActualBytesTransferred.
struct STREAM_PROPERTY_DESCRIPTOR {
  KSPROPERTY* Property;
  ULONG PropertySetID;  // index of the set in the table the minidriver announced
  PVOID PropertyInfo;   // the caller's buffer
  ULONG PropertyInputSize;
  ULONG PropertyOutputSize;
};

// ---- Connection set: the allocator framing a pin wants ---------------------------
// KSPROPSETID_Connection and PROPSETID_VIDCAP_DROPPEDFRAMES: streamclass.h.
constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3;

constexpr ULONG KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY = 0x00000001;
constexpr ULONG KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER = 0x00000002;
constexpr ULONG KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY = 0x80000000;

struct KSALLOCATOR_FRAMING {
  ULONG RequirementsFlags;
  ULONG PoolType;  // POOL_TYPE
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
};
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);

// ---- Dropped frames of a video capture pin --------------------------------------
constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

struct KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
};
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
