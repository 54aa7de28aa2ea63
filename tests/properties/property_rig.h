// The simulated camera brought up as the device layer's Initialize leaves it
// (the shipped camera model's settings loaded, the picture values restored),
// with property requests built as the stream-class port sends them.
#pragma once

#include <string>

#include "driver/device_callbacks.h"
#include "platform/host/registry_store.h"
#include "properties/properties.h"
#include "sim/camera_model.h"
#include "support/camera_rig.h"

namespace veltocam::test {

const std::string kModelKey =
    std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName;
const std::string kControlKey = kModelKey + "\\CONTROL";
const std::string kProcAmpKey = kModelKey + "\\VIDEOPROCAMP";

// The status a request carries from the port; a handler that does not
// serve the request leaves it so.
constexpr NTSTATUS kPortStatus = NtStatus(0x0000ABCD);

struct PropertyOutcome {
  NTSTATUS status;    // the request's status
  ULONG bytes;        // its ActualBytesTransferred
  NTSTATUS returned;  // DevicePropertyRequest's own result
};

// A get or set of property `id` in `set` with `data` as the caller's record.
template <typename T>
PropertyOutcome SendProperty(DeviceContext* context, bool isSet, const GUID& set, ULONG id, T* data,
                             ULONG size = sizeof(T)) {
  data->Property = {set, id, isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET};
  STREAM_PROPERTY_DESCRIPTOR descriptor{&data->Property, 0, data, sizeof(KSPROPERTY), size};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.SizeOfThisPacket = sizeof srb;
  srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
  srb.Status = kPortStatus;
  srb.CommandData.PropertyInfo = &descriptor;
  const NTSTATUS returned = DevicePropertyRequest(isSet, nullptr, context, &srb);
  return {srb.Status, srb.ActualBytesTransferred, returned};
}

class PropertyRig {
 public:
  PropertyRig() {
    EXPECT_TRUE(sim::LoadCameraModelSettings());
    EXPECT_EQ(rig.SelectConfiguration(), STATUS_SUCCESS);
    rig.MakeFirmwarePrompt();
    USHORT pipes[1] = {};
    EXPECT_EQ(Configure(rig.bus.DeviceObject(), ctx(), rig.device()->InterfaceInfo, nullptr, 1,
                        pipes, nullptr),
              STATUS_SUCCESS);
  }
  NTSTATUS Initialize() {
    const NTSTATUS status = InitializeAndLoadSettings(rig.bus.DeviceObject(), ctx());
    rig.camera.ClearCommands();
    return status;
  }
  DeviceContext* ctx() { return rig.context(); }

  KSPROPERTY_VIDEOPROCAMP_S procAmp{};
  PropertyOutcome GetProcAmp(ULONG id) {
    procAmp = {};
    return SendProperty(ctx(), false, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &procAmp);
  }
  PropertyOutcome SetProcAmp(ULONG id, LONG value) {
    procAmp = {};
    procAmp.Value = value;
    return SendProperty(ctx(), true, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &procAmp);
  }

  CustomPropertyData custom{};
  PropertyOutcome GetCustom(ULONG id, LONG sent = 0x5A5A) {
    custom = {};
    custom.Value = sent;
    return SendProperty(ctx(), false, CustomPropertySetGuid, id, &custom);
  }
  PropertyOutcome SetCustom(ULONG id, ULONG value) {
    custom = {};
    custom.Value = static_cast<LONG>(value);
    return SendProperty(ctx(), true, CustomPropertySetGuid, id, &custom);
  }

  CameraRig rig;
};

}  // namespace veltocam::test
