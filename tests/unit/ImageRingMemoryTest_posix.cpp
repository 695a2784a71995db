// A host without room for three big buffers (a 32-bit host at 8192 x 8192
// colour) gets a failed open, never a half-allocated ring: run in a child
// whose address space is limited to what it uses now plus 300 MB, so the
// second 192 MiB buffer cannot be had.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "camera/ImageRing.h"

namespace orvella {
namespace {

// Exits 0 when the ring behaved, with the number of the broken rule otherwise.
[[noreturn]] void AllocateUnderAddressLimit() {
  long pages = 0, ignored = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &ignored) != 2) pages = 0;
    std::fclose(f);
  }
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t(pages) * 4096 + rlim_t(300) * 1024 * 1024;
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(100);
  ImageRing ring;
  if (ring.Allocate(8192, 8192, true)) std::_Exit(1);              // three buffers cannot fit
  if (ring.WriteBuffer().data || ring.WriteBuffer().size) std::_Exit(2);  // none keeps memory
  if (!ring.Allocate(8192, 8192, false)) std::_Exit(3);            // what fits still opens
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
