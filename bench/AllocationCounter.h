// Counts heap allocations of the whole process: the benchmark program
// defines malloc and friends itself (they forward to glibc's), so every
// library it loads, the driver included, allocates through them.
//
// Thread safety: everything here may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvella::bench {

// Allocations (malloc, calloc, realloc, the aligned ones, operator new
// through malloc) since the program started: process-wide and this thread's.
std::uint64_t ProcessAllocations();
std::uint64_t ThreadAllocations();

// Notes the addresses of the next allocations of exactly `size` bytes (up to
// eight), so a benchmark can find a buffer the driver allocated.
void WatchSize(std::size_t size);
std::vector<void*> Watched();

// While on, the call stack of each allocation is kept (up to a few
// thousand); TakeStacks returns them grouped, most frequent first, each frame
// named "library: function" (addr2line for the driver's hidden functions).
void RecordStacks(bool on);
struct AllocationStack {
  std::uint64_t count = 0;
  std::vector<std::string> frames;  // innermost first, allocator frames dropped
};
std::vector<AllocationStack> TakeStacks();

}  // namespace orvella::bench
