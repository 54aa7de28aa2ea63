// The pool: every block is recorded with its tag and size so that tests can
// prove nothing leaks, and any allocation can be made to fail.
#include "platform/host/pool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"
#include "platform/kernel.h"

namespace veltocam::host {
namespace {

struct Block {
  std::size_t size;
  std::uint32_t tag;
  POOL_TYPE type;
};

struct TagTotals {
  std::size_t blocks = 0;
  std::size_t bytes = 0;
};

struct PoolState {
  std::mutex mutex;
  std::unordered_map<void*, Block> blocks;
  std::map<std::uintptr_t, std::size_t> paged;  // start -> size of each paged block
  std::map<std::uint32_t, TagTotals> totals;
  std::uint64_t allocations = 0;
  std::uint64_t failed = 0;
  std::uint64_t failNth = 0;   // absolute allocation number, 0 = off
  std::uint64_t failFrom = 0;  // absolute allocation number, 0 = off
  std::deque<void*> heldBack;  // freed blocks whose memory is not given out yet
};

PoolState& Pool() {
  static PoolState state;
  return state;
}

// Outstanding paged blocks: while there are none (the usual case) the checks
// below cost one load.
std::atomic<std::size_t> g_pagedBlocks{0};

bool InPagedPool(const void* address) {
  if (g_pagedBlocks.load(std::memory_order_relaxed) == 0) return false;
  PoolState& pool = Pool();
  std::lock_guard lock(pool.mutex);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  auto it = pool.paged.upper_bound(at);
  if (it == pool.paged.begin()) return false;
  --it;
  return at < it->first + it->second;
}

constexpr std::align_val_t kAlignment{16};

}  // namespace

std::string TagName(std::uint32_t tag) {
  std::string name(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return name;
}

std::vector<PoolTagUsage> OutstandingPool() {
  std::lock_guard lock(Pool().mutex);
  std::vector<PoolTagUsage> result;
  for (const auto& [tag, totals] : Pool().totals) {
    if (totals.blocks != 0) result.push_back({tag, totals.blocks, totals.bytes});
  }
  return result;
}

std::size_t OutstandingBlocks() {
  std::lock_guard lock(Pool().mutex);
  return Pool().blocks.size();
}

std::size_t OutstandingBlocks(std::uint32_t tag) {
  std::lock_guard lock(Pool().mutex);
  auto it = Pool().totals.find(tag);
  return it == Pool().totals.end() ? 0 : it->second.blocks;
}

std::size_t OutstandingBytes(std::uint32_t tag) {
  std::lock_guard lock(Pool().mutex);
  auto it = Pool().totals.find(tag);
  return it == Pool().totals.end() ? 0 : it->second.bytes;
}

std::string DescribeOutstandingPool() {
  std::string text;
  for (const PoolTagUsage& usage : OutstandingPool()) {
    if (!text.empty()) text += "; ";
    text += "\"" + TagName(usage.tag) + "\": " + std::to_string(usage.blocks) + " blocks, " +
            std::to_string(usage.bytes) + " bytes";
  }
  return text.empty() ? "nothing" : text;
}

std::uint64_t AllocationCount() {
  std::lock_guard lock(Pool().mutex);
  return Pool().allocations;
}

void FailNthAllocation(std::uint64_t n) {
  std::lock_guard lock(Pool().mutex);
  Pool().failNth = n == 0 ? 0 : Pool().allocations + n;
}

void FailAllocationsFrom(std::uint64_t n) {
  std::lock_guard lock(Pool().mutex);
  Pool().failFrom = n == 0 ? 0 : Pool().allocations + n;
}

std::uint64_t FailedAllocationCount() {
  std::lock_guard lock(Pool().mutex);
  return Pool().failed;
}

void RequireNonPaged(const void* object, const char* what) {
  if (InPagedPool(object)) ContractViolation((std::string(what) + " in paged pool").c_str());
}

void RequireNonPagedAtDispatch(const void* address, const char* routine) {
  if (g_pagedBlocks.load(std::memory_order_relaxed) == 0 || KeGetCurrentIrql() < DISPATCH_LEVEL) {
    return;
  }
  if (InPagedPool(address)) {
    ContractViolation((std::string(routine) + " touched paged pool at DISPATCH_LEVEL").c_str());
  }
}

// A freed object's address is not handed out again for the next many
// allocations, so that a late use of a freed object (a cancel of a finished
// packet) finds it gone rather than a new object in its place. Only small
// blocks, where packets and records live: data buffers go back at once, as
// holding them would cost fresh memory for every frame. The address
// sanitizer's own quarantine does this in its builds.
#if defined(__SANITIZE_ADDRESS__)
#define VELTOCAM_HOLD_BACK_FREED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTOCAM_HOLD_BACK_FREED 0
#endif
#endif
#ifndef VELTOCAM_HOLD_BACK_FREED
#define VELTOCAM_HOLD_BACK_FREED 1
#endif

namespace {

void ReleaseFreedBlock(PoolState& pool, void* block, std::size_t size) {
  constexpr std::size_t kHeldBack = VELTOCAM_HOLD_BACK_FREED ? 1024 : 0;
  constexpr std::size_t kLargestHeld = 4096;
  if (size > kLargestHeld) {
    ::operator delete(block, kAlignment);
    return;
  }
  pool.heldBack.push_back(block);
  while (pool.heldBack.size() > kHeldBack) {
    ::operator delete(pool.heldBack.front(), kAlignment);
    pool.heldBack.pop_front();
  }
}

}  // namespace

void ResetPool() {
  PoolState& pool = Pool();
  std::lock_guard lock(pool.mutex);
  for (auto& [block, info] : pool.blocks) ::operator delete(block, kAlignment);
  for (void* block : pool.heldBack) ::operator delete(block, kAlignment);
  pool.heldBack.clear();
  pool.blocks.clear();
  pool.paged.clear();
  g_pagedBlocks.store(0);
  pool.totals.clear();
  pool.allocations = pool.failed = pool.failNth = pool.failFrom = 0;
}

}  // namespace veltocam::host

using veltocam::host::ContractViolation;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  if (poolType == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    ContractViolation("paged pool allocated at DISPATCH_LEVEL");
  }
  auto& pool = veltocam::host::Pool();
  std::lock_guard lock(pool.mutex);
  const std::uint64_t number = ++pool.allocations;
  if (number == pool.failNth || (pool.failFrom != 0 && number >= pool.failFrom)) {
    ++pool.failed;
    return nullptr;
  }
  void* block = ::operator new(numberOfBytes == 0 ? 1 : numberOfBytes, veltocam::host::kAlignment,
                               std::nothrow);
  if (block == nullptr) {
    ++pool.failed;
    return nullptr;
  }
  // Fresh pool memory is not zero on the platform; a fixed pattern makes code
  // that relies on it fail the same way every time.
  std::memset(block, 0xCD, numberOfBytes);
  pool.blocks.emplace(block, veltocam::host::Block{numberOfBytes, tag, poolType});
  if (poolType == PagedPool) {
    pool.paged.emplace(reinterpret_cast<std::uintptr_t>(block), numberOfBytes);
    veltocam::host::g_pagedBlocks.fetch_add(1);
  }
  auto& totals = pool.totals[tag];
  ++totals.blocks;
  totals.bytes += numberOfBytes;
  return block;
}

namespace {

// Freeing memory that a kernel queue still links to corrupts the queue on the
// platform, long after the free: caught here at the free.
bool HoldsQueuedObject(const void* block, std::size_t size) {
  auto& k = veltocam::host::detail::Kernel();
  std::lock_guard lock(k.mutex);
  const char* what = veltocam::host::detail::QueuedObjectWithinLocked(k, block, size);
  if (what == nullptr) return false;
  ContractViolation((std::string("ExFreePool of a block that holds ") + what).c_str());
  return true;
}

}  // namespace

void ExFreePoolWithTag(PVOID block, ULONG tag) {
  auto& pool = veltocam::host::Pool();
  std::size_t size;
  {
    std::lock_guard lock(pool.mutex);
    auto it = pool.blocks.find(block);
    if (it == pool.blocks.end()) {
      ContractViolation("ExFreePool of a block the pool does not own (double free?)");
      return;
    }
    if (it->second.type == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
      ContractViolation("paged pool freed at DISPATCH_LEVEL");
    }
    size = it->second.size;
  }
  if (HoldsQueuedObject(block, size)) return;
  std::lock_guard lock(pool.mutex);
  auto it = pool.blocks.find(block);
  if (it == pool.blocks.end()) {
    ContractViolation("ExFreePool of a block the pool does not own (double free?)");
    return;
  }
  if (tag != 0 && it->second.tag != tag) ContractViolation("ExFreePoolWithTag with another tag");
  auto& totals = pool.totals[it->second.tag];
  --totals.blocks;
  totals.bytes -= it->second.size;
  if (it->second.type == PagedPool) {
    pool.paged.erase(reinterpret_cast<std::uintptr_t>(block));
    veltocam::host::g_pagedBlocks.fetch_sub(1);
  }
  pool.blocks.erase(it);
  veltocam::host::ReleaseFreedBlock(pool, block, size);
}

void ExFreePool(PVOID block) {
  ExFreePoolWithTag(block, 0);
}
