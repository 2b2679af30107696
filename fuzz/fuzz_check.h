// The fuzz targets' invariant check: a broken invariant names itself and aborts, so that
// libFuzzer keeps the input as a crash reproducer. Unlike assert it stays in every build.
#ifndef KSYM_FUZZ_FUZZ_CHECK_H
#define KSYM_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

namespace ksymfuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

} // namespace ksymfuzz

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : ksymfuzz::CheckFailed(#condition, __FILE__, __LINE__))

#endif
