// Pool accounting and allocation-failure injection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltocam::host {

struct PoolTagUsage {
  std::uint32_t tag;
  std::size_t blocks;  // outstanding
  std::size_t bytes;   // outstanding
};

std::vector<PoolTagUsage> OutstandingPool();  // tags with blocks outstanding
std::size_t OutstandingBlocks();
std::size_t OutstandingBlocks(std::uint32_t tag);
std::size_t OutstandingBytes(std::uint32_t tag);
// A readable list of what is outstanding ("Wdm : 2 blocks, 1846080 bytes").
std::string DescribeOutstandingPool();

// Allocations attempted since the last reset, failed ones included.
std::uint64_t AllocationCount();
// The nth allocation from now fails (1 = the next one); 0 switches it off.
void FailNthAllocation(std::uint64_t n);
// Every allocation from the nth one on fails; 0 switches it off.
void FailAllocationsFrom(std::uint64_t n);
std::uint64_t FailedAllocationCount();

// Paged pool may be paged out: the kernel touches memory at DISPATCH_LEVEL
// only if it is non-paged. The host kernel's routines check what they are
// handed (plain loads and stores by driver code are not seen):
// Objects the kernel always uses at DISPATCH_LEVEL (spin locks, DPCs,
// timers) must never lie in paged pool.
void RequireNonPaged(const void* object, const char* what);
// Other memory must not be paged pool when the caller is at DISPATCH_LEVEL.
void RequireNonPagedAtDispatch(const void* address, const char* routine);

// Frees every outstanding block and clears counters and failure injection.
void ResetPool();

std::string TagName(std::uint32_t tag);

}  // namespace veltocam::host
