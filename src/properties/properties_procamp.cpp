// The video processing amplifier: reading and setting the picture values,
// and how each one becomes camera register writes.
#include "control/vendorcommands.h"
#include "properties/persistence.h"
#include "properties/properties.h"

namespace {

constexpr ULONG kProcAmpDataSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
constexpr ULONG kMaximumHue = 719;  // twice the largest hue, less one: fits the registers

// The internal index of a property id, or 0 for an id the set does not serve.
ULONG InternalIndexOf(ULONG id) {
  for (const ProcAmpProperty& p : kProcAmpProperties) {
    if (p.Id == id) return p.InternalIndex;
  }
  return 0;
}

UCHAR Scaled32(ULONG v) {
  const ULONG scaled = (v & 0xFF) * 32;
  return static_cast<UCHAR>(scaled < 255 ? scaled : 255);
}

// The camera's register for a picture value is written only when the
// command set names it as a register (Request 0). Sharpness goes out
// whatever its Request says, unless the store left it unconfigured.
void WriteProcAmpRegister(DeviceContext* context, VendorCommandId entry, UCHAR value,
                          bool anyRequest = false) {
  const VendorCommandDescriptor& d = context->VendorCommand[entry];
  const bool send = anyRequest ? d.Request != kCommandNotConfigured : d.Request == 0;
  if (send) RegisterWrite(context, d.Index, value);
}

void SendProcAmpValue(DeviceContext* context, ULONG internalIndex, ULONG v) {
  switch (internalIndex) {
    case 1:  // 0..255 around 128 becomes the register's signed offset
      WriteProcAmpRegister(context, Brightness, static_cast<UCHAR>((v & 0xFF) + 128));
      break;
    case 2:
      WriteProcAmpRegister(context, Contrast, Scaled32(v));
      break;
    case 3: {
      if (context->VendorCommand[HueL].Request != 0) break;
      const ULONG h = 2 * v < kMaximumHue ? 2 * v : kMaximumHue;
      RegisterWrite(context, context->VendorCommand[HueL].Index, static_cast<UCHAR>(h));
      RegisterWrite(context, context->VendorCommand[HueH].Index,
                    static_cast<UCHAR>((h / 256) * 64 + 1));
      break;
    }
    case 4:
      WriteProcAmpRegister(context, Saturation, Scaled32(v));
      break;
    case 5:
      WriteProcAmpRegister(context, Sharpness, static_cast<UCHAR>(v), true);
      break;
    default:  // white balance has no register
      break;
  }
}

}  // namespace

int ProcAmpSlot(ULONG internalIndex) {
  for (ULONG k = 0; k < kProcAmpCount; ++k) {
    if (kProcAmpProperties[k].InternalIndex == internalIndex) return static_cast<int>(k);
  }
  return -1;
}

NTSTATUS ApplyProcAmpValue(ULONG internalIndex, DeviceContext* context, ULONG value,
                           BOOLEAN persist) {
  const int slot = ProcAmpSlot(internalIndex);
  if (slot < 0) return STATUS_NOT_SUPPORTED;
  const ProcAmpProperty& p = kProcAmpProperties[slot];
  // Compared as unsigned: a negative value is out of every range.
  if (value < static_cast<ULONG>(p.Minimum) || value > static_cast<ULONG>(p.Maximum)) {
    return STATUS_NOT_SUPPORTED;
  }
  context->ProcAmpValue[slot] = value;
  context->ProcAmpValueKnown |= static_cast<UCHAR>(1u << slot);
  SendProcAmpValue(context, internalIndex, value);
  if (persist) PersistProcAmpValue(context, internalIndex);
  return internalIndex == kWhiteBalanceIndex ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
}

NTSTATUS GetProcAmpProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  const ULONG index = InternalIndexOf(PropertyId(srb));
  if (index == 0) return STATUS_NOT_SUPPORTED;
  auto* data = PropertyData<KSPROPERTY_VIDEOPROCAMP_S>(srb);
  if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  data->Value = static_cast<LONG>(context->ProcAmpValue[ProcAmpSlot(index)]);
  data->Flags = data->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  if (index == kWhiteBalanceIndex) {
    data->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    data->Flags = AutoWhiteBalanceSetting == 1 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                               : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  }
  srb->ActualBytesTransferred = kProcAmpDataSize;
  srb->Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS SetProcAmpProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  const ULONG index = InternalIndexOf(PropertyId(srb));
  if (index == 0) return STATUS_NOT_SUPPORTED;
  auto* data = PropertyData<KSPROPERTY_VIDEOPROCAMP_S>(srb);
  if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  const NTSTATUS status = ApplyProcAmpValue(index, context, static_cast<ULONG>(data->Value), TRUE);
  srb->Status = status;
  srb->ActualBytesTransferred = NT_SUCCESS(status) ? kProcAmpDataSize : 0;
  return status;
}
