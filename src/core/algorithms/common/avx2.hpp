// The finders' four-lane paths: compiled for x86-64 with GCC or Clang (functions marked
// target("avx2")), taken only where the CPU runs AVX2. Each lane repeats the baseline path's
// operations in the same order, so both give the same values.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TRELMON_AVX2 1
#include <immintrin.h>
#else
#define TRELMON_AVX2 0
#endif

namespace trelmon {

// Whether this CPU runs AVX2 code (asked once per process); false where the paths are not built.
inline bool cpu_has_avx2() noexcept {
#if TRELMON_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
#else
    return false;
#endif
}

}  // namespace trelmon
