// Device properties as a kernel-streaming application sees them: the sets the
// device's stream information announced, each property's range, step and
// default as its item describes them, and get and set requests
// (SRB_GET_DEVICE_PROPERTY, SRB_SET_DEVICE_PROPERTY) sent through the port.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/host/stream_port.h"
#include "platform/videoproperties.h"

namespace veltocam::client {

struct PropertyInfo {
  GUID set{};
  ULONG setIndex = 0;  // the set's place in the announced table
  ULONG id = 0;
  ULONG dataSize = 0;  // the item's MinData: the record a request carries
  bool readable = false;
  bool writable = false;
  std::optional<KSPROPERTY_STEPPING_LONG> range;
  std::optional<LONG> defaultValue;
};

// What a request came back with: its status and the bytes the driver filled.
struct PropertyResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG bytes = 0;
};

class PropertyClient {
 public:
  PropertyClient(host::StreamClassPort& port, host::PortDevice* device)
      : port_(port), device_(device) {}

  // Every property of every announced set, in table order.
  std::vector<PropertyInfo> Properties() const;

  // `record` (at least the property's dataSize bytes) travels with the
  // request; its leading KSPROPERTY is filled in here, the rest is the
  // caller's (a set's value) or the driver's answer.
  PropertyResult Get(const PropertyInfo& property, std::vector<std::uint8_t>* record);
  PropertyResult Set(const PropertyInfo& property, std::vector<std::uint8_t>* record);

 private:
  PropertyResult Send(const PropertyInfo& property, bool set, std::vector<std::uint8_t>* record);

  host::StreamClassPort& port_;
  host::PortDevice* device_;
};

}  // namespace veltocam::client
