// The camera's custom property set: snapshots, white-balance mode, packet
// size, banding, flip, the audio input, the snapshot-button poll and writes
// of companion software's settings to the store.
#include "control/camerastate.h"
#include "control/configstore.h"
#include "control/tracing.h"
#include "control/vendorcommands.h"
#include "properties/properties.h"

namespace {

constexpr ULONG kCustomDataSize = sizeof(CustomPropertyData);
constexpr LONG kCustomAnswer = 6;    // what the informational ids read as
constexpr ULONG kFlipOffAlias = 16;  // some clients say 16 for "no flip"
constexpr ULONG kMuted = 0x8000;
constexpr ULONG kVolumeMask = 0x0FFF;

enum class Key { Control, HwSnap, HwState, Snap, Buffer };

const WCHAR* KeyPath(const DeviceContext* context, Key key) {
  switch (key) {
    case Key::HwSnap:
      return context->HwSnapKeyPath;
    case Key::HwState:
      return context->HwStateKeyPath;
    case Key::Snap:
      return context->SnapKeyPath;
    case Key::Buffer:
      return context->BufferKeyPath;
    default:
      return context->ControlKeyPath;
  }
}

// Where custom id 12 writes, by selector 1..21 (a null name is the key's
// unnamed default value).
struct SelectedValue {
  Key key;
  const char* name;
};
constexpr SelectedValue kSelectedValues[21] = {
    {Key::Control, "VideoSetting"},  {Key::Control, nullptr},
    {Key::Control, "PacketSizeMax"}, {Key::Control, "RecordSelect"},
    {Key::Control, "VideoSetting"},  {Key::Control, "Notinitialize"},
    {Key::Control, "NotClosePower"}, {Key::Control, "Compress4"},
    {Key::Control, "Compress5"},     {Key::Control, "Compress6"},
    {Key::Control, "Compress7"},     {Key::Control, "Compress8"},
    {Key::Control, "Compress9"},     {Key::Control, "Compressa"},
    {Key::Control, "Compressb"},     {Key::Control, "Compressc"},
    {Key::HwSnap, "HWSNAP"},         {Key::HwState, "HWSTATE"},
    {Key::Snap, "HEVENT"},           {Key::Snap, "STATESignal"},
    {Key::Buffer, "Buffer"},
};

// The high 16 bits select the value, the low 16 bits are its data.
void WriteSelectedValue(DeviceContext* context, ULONG v) {
  const ULONG selector = v >> 16;
  ULONG data = v & 0xFFFF;
  if (selector < 1 || selector > 21) return;
  // Selector 1 packs two 4-bit fields: bits 8..11 to the top nibble, 0..3 stay.
  if (selector == 1) data = (((data >> 8) & 0xF) << 28) | (data & 0xF);
  const SelectedValue& target = kSelectedValues[selector - 1];
  WriteDword(KeyPath(context, target.key), target.name, data);
}

// Line-in (1) or microphone (2): the other input is muted (bit 15), the
// chosen one keeps its 12-bit volume.
void SelectAudioInput(DeviceContext* context, ULONG v) {
  if (v != 1 && v != 2) return;
  ULONG lineIn = 0;
  ULONG mic = 0;
  QueryDword(context, context->ControlKeyPath, "LineInVolume", &lineIn);
  QueryDword(context, context->ControlKeyPath, "MicVolume", &mic);
  const bool line = v == 1;
  WriteDword(context->ControlKeyPath, "Audio", v);
  WriteDword(context->ControlKeyPath, "LineInVolume",
             line ? lineIn & kVolumeMask : lineIn | kMuted);
  WriteDword(context->ControlKeyPath, "MicVolume", line ? mic | kMuted : mic & kVolumeMask);
}

void SetBandingType(DeviceContext* context, UCHAR type) {
  context->AeBandingType = type;
  WriteDword(context->ControlKeyPath, "AEBANDINGTYPE", type);
  SendDataCommand(context, SetAeBandingFlag, type, "(KorvaneCam) Change Banding Type");
}

}  // namespace

NTSTATUS GetCustomProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  auto* data = PropertyData<CustomPropertyData>(srb);
  if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  switch (PropertyId(srb)) {
    case 0:
    case kCustomSnapshotCount:
    case 7:
    case kCustomAudioInput:
    case kCustomRegistryWrite:
      data->Value = kCustomAnswer;
      break;
    case kCustomAwbMode:
      data->Value = static_cast<LONG>(context->AwbMode);
      break;
    case kCustomPacketSizeMax:
      data->Value = context->PacketSizeMax;
      break;
    case 9:
      data->Value = 0;
      break;
    case kCustomBandingType:
      data->Value = context->AeBandingType;
      break;
    case kCustomFlip:
      data->Value = Flip;
      break;
    default:  // the caller's word comes back as it was
      break;
  }
  srb->ActualBytesTransferred = kCustomDataSize;
  srb->Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS SetCustomProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  const ULONG id = PropertyId(srb);
  if (id >= kCustomPropertyCount) return STATUS_NOT_SUPPORTED;
  auto* data = PropertyData<CustomPropertyData>(srb);
  if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  const auto v = static_cast<ULONG>(data->Value);
  const auto low = static_cast<UCHAR>(v);
  NTSTATUS status = STATUS_SUCCESS;
  switch (id) {
    case kCustomSnapshotCount:
      bSnap = low;
      DebugTrace("\n(Velto) bSnap=%d\n", low);
      break;
    case 2:  // reserved: refused, though the client is told it went through
      status = STATUS_NOT_SUPPORTED;
      break;
    case kCustomAwbMode:
      context->AwbMode = low;
      WriteDword(context->ControlKeyPath, "AWBMODE", context->AwbMode);
      break;
    case kCustomPacketSizeMax:
      context->PacketSizeMax = low;
      WriteDword(context->ControlKeyPath, "PacketSizeMax", low);
      break;
    case kCustomAudioInput:
      SelectAudioInput(context, v);
      break;
    case kCustomBandingType:
      SetBandingType(context, low);
      break;
    case kCustomPollSnapshotButton:
      RequestSnapshotStatus(context);
      break;
    case kCustomRegistryWrite:
      WriteSelectedValue(context, v);
      break;
    case kCustomFlip:
      Flip = v == kFlipOffAlias ? 0 : low;
      WriteDword(context->ControlKeyPath, "Flip", Flip);
      break;
    default:  // 0, 3, 4, 7, 9: accepted, nothing to do
      break;
  }
  srb->Status = STATUS_SUCCESS;
  return status;
}
