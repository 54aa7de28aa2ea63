#include "platform/host/handles.h"

#include <map>
#include <mutex>

#include "platform/kernel.h"

namespace veltocam::host {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::map<ULONG_PTR, std::unique_ptr<HandleObject>> objects;
  ULONG_PTR next = 0x80000004;  // kernel handles are multiples of 4 with the top bit set
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

HANDLE InsertHandle(std::unique_ptr<HandleObject> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  ULONG_PTR value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

HandleObject* LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == t.objects.end() ? nullptr : it->second.get();
}

NTSTATUS CloseHandle(HANDLE handle) {
  std::unique_ptr<HandleObject> object;
  {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == t.objects.end()) return STATUS_INVALID_HANDLE;
    object = std::move(it->second);
    t.objects.erase(it);
  }
  return STATUS_SUCCESS;  // the object is released here, outside the table lock
}

std::size_t OpenHandleCount() {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.objects.size();
}

void CloseAllHandles() {
  std::map<ULONG_PTR, std::unique_ptr<HandleObject>> objects;
  {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    objects.swap(t.objects);
  }
}

}  // namespace veltocam::host

NTSTATUS ZwClose(HANDLE handle) { return veltocam::host::CloseHandle(handle); }
