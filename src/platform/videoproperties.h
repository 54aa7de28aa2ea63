// The video capture property sets a camera driver advertises and serves: the
// ranges and defaults an advertised property carries, the video processing
// amplifier and video compression sets with their value records.
#pragma once

#include "platform/streamproperties.h"

constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;

// ---- Ranges, steps and defaults (KSPROPERTY_ITEM::Values) ----------------------
constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};

struct KSPROPERTY_BOUNDS_LONG {
  LONG SignedMinimum;
  LONG SignedMaximum;
};

struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};

struct KSPROPERTY_MEMBERSLIST {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const void* Members;
};

// The value type (a list of identifiers) and the member lists.
struct KSPROPERTY_VALUES {
  ULONG PropTypeSetCount;
  const KSIDENTIFIER* PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
};

constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG VT_I4 = 3;

// ---- The video capture sets ---------------------------------------------------------
constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr GUID PROPSETID_VIDCAP_VIDEOCOMPRESSION = {
    0xC6E13343, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL = {
    0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

enum KSPROPERTY_VIDCAP_VIDEOPROCAMP : ULONG {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
  KSPROPERTY_VIDEOPROCAMP_HUE = 2,
  KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
  KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
};
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

struct KSPROPERTY_VIDEOPROCAMP_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
  ULONG Reserved;  // the platform's record is padded to 8 bytes
};
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

enum KSPROPERTY_VIDCAP_VIDEOCOMPRESSION : ULONG {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO = 0,
  KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE = 1,
  KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME = 2,
  KSPROPERTY_VIDEOCOMPRESSION_QUALITY = 3,
};
constexpr LONG KS_CompressionCaps_CanQuality = 1;

struct KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);

struct KSPROPERTY_VIDEOCOMPRESSION_S {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
};
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);
