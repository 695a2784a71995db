// A host without room for three big buffers (a 32-bit host at 8192 x 8192
// colour) gets a failed open, never a half-allocated ring: run in a child
// whose address space is limited to what it uses now plus 300 MB, so the
// second 192 MiB buffer cannot be had.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "camera/ImageRing.h"
#include "support/AddressLimit.h"

namespace orvella {
namespace {

// Exits 0 when the ring behaved, with the number of the broken rule otherwise.
[[noreturn]] void AllocateUnderAddressLimit() {
  if (!test::LimitAddressSpace(size_t(300) << 20)) std::_Exit(100);
  ImageRing ring;
  if (ring.Allocate(8192, 8192, true)) std::_Exit(1);                     // three buffers cannot fit
  if (ring.WriteBuffer().data || ring.WriteBuffer().size) std::_Exit(2);  // none keeps memory
  if (!ring.Allocate(8192, 8192, false)) std::_Exit(3);                   // what fits still opens
  std::_Exit(0);
}

TEST(ImageRingMemoryTest, ABigRingThatDoesNotFitFailsWholeAndKeepsNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators abort on an address-space limit instead of failing";
#endif
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(AllocateUnderAddressLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvella
