// A device extension as the stream-class port hands it to the class layer:
// ClassDevice followed by the device layer's context, zero-filled, from the pool.
#pragma once

#include "classlayer/device.h"
#include "control/devicecontext.h"

namespace veltocam::test {

class DeviceExtension {
 public:
  DeviceExtension() {
    const ULONG size = DeviceExtensionSize(sizeof(DeviceContext));
    block_ = static_cast<ClassDevice*>(ExAllocatePoolWithTag(NonPagedPool, size, kDevicePoolTag));
    RtlZeroMemory(block_, size);
    block_->Tag = kClassDeviceTag;
  }
  ~DeviceExtension() {
    FreeDeviceBuffers(context());
    ExFreePool(block_);
  }
  DeviceExtension(const DeviceExtension&) = delete;
  DeviceExtension& operator=(const DeviceExtension&) = delete;

  ClassDevice* device() { return block_; }
  DeviceContext* context() { return static_cast<DeviceContext*>(DeviceContextOf(block_)); }

 private:
  ClassDevice* block_;
};

}  // namespace veltocam::test
