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

// Frees every outstanding block and clears counters and failure injection.
void ResetPool();

std::string TagName(std::uint32_t tag);

}  // namespace veltocam::host
