// A rule a fuzz target checks: when broken, say which and crash, so the
// fuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define Check(ok) \
  ((ok) ? (void)0 : (std::fprintf(stderr, "%s:%d: rule broken: %s\n", __FILE__, __LINE__, #ok), std::abort()))
