#include <sys/resource.h>

#include <cstdio>

#include "support/AddressLimit.h"

namespace orvella::test {

bool LimitAddressSpace(size_t marginBytes) {
  long pages = 0, ignored = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &ignored) != 2) pages = 0;
    std::fclose(f);
  }
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t(pages) * 4096 + rlim_t(marginBytes);
  return pages != 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace orvella::test
