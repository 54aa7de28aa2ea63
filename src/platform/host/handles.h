// The host's handle table: registry keys and files are objects behind HANDLE
// values; ZwClose releases them.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/ntdef.h"

namespace veltocam::host {

class HandleObject {
 public:
  virtual ~HandleObject() = default;
};

HANDLE InsertHandle(std::unique_ptr<HandleObject> object);
HandleObject* LookupHandle(HANDLE handle);
template <typename T>
T* LookupHandleAs(HANDLE handle) {
  return dynamic_cast<T*>(LookupHandle(handle));
}
// STATUS_INVALID_HANDLE for an unknown handle.
NTSTATUS CloseHandle(HANDLE handle);
std::size_t OpenHandleCount();
void CloseAllHandles();

}  // namespace veltocam::host
