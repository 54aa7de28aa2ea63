// The seam between the simulated camera's firmware (commands, registers,
// descriptors) and its picture stream: the firmware keeps what it has been
// told in StreamSettings and asks a PacketSource for each isochronous packet.
#pragma once

#include <cstdint>
#include <span>

#include "platform/host/usb_device_model.h"

namespace veltocam::sim {

struct StreamSettings {
  bool capturing = false;         // from the start command until stop or idle
  std::uint8_t sizeNumber = 0;    // capture size number last sent (1, 2, 3); 0 = none yet
  int sensorWidth = 0;            // the sensor window of that size number
  int sensorHeight = 0;
  std::uint8_t imageType = 0;     // image-type command payload
  std::uint8_t qtableIndex = 0;   // Q-table command payload
};

class PacketSource {
 public:
  virtual ~PacketSource() = default;
  // The isochronous IN packet the camera sends in USB frame `frame`. Frames
  // increase; frames that were skipped went to nobody. `packet` has the
  // maximum packet size of the current alternate setting (empty on setting 0).
  virtual host::UsbIsoPacket NextPacket(const StreamSettings& settings, ULONG frame,
                                        std::span<UCHAR> packet) = 0;
};

}  // namespace veltocam::sim
