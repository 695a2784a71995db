// A child process's address space limited to what it uses now plus a
// margin, so an allocation past the margin fails there (POSIX only).
#pragma once

#include <cstddef>

namespace orvella::test {

// False when the limit cannot be set.
bool LimitAddressSpace(size_t marginBytes);

}  // namespace orvella::test
