// Allocation failures on the test's thread, for out-of-memory tests: the
// n-th allocation from when it is armed throws std::bad_alloc. Include in one
// file of a test program: it replaces the global operator new. Not under
// ThreadSanitizer: its allocations would then no longer come straight from
// the endpoint's uninstrumented HTTP library, which tsan.supp keeps out of
// the detection (FAILING_ALLOCATIONS is then 0, and such tests skip).
#pragma once

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define FAILING_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FAILING_ALLOCATIONS 0
#endif
#endif
#ifndef FAILING_ALLOCATIONS
#define FAILING_ALLOCATIONS 1
#endif

namespace {
thread_local long allocations_to_failure = -1;  // -1: none fails
thread_local bool allocation_failed = false;

// What the test itself records is never made to fail.
struct Unfailing {
    long saved = allocations_to_failure;
    Unfailing() { allocations_to_failure = -1; }
    ~Unfailing() { allocations_to_failure = saved; }
};
}  // namespace

#if FAILING_ALLOCATIONS
// The compiler sees the malloc behind the replaced operator new and frowns at the free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(std::size_t size) {
    if (allocations_to_failure == 0) {
        allocations_to_failure = -1;
        allocation_failed = true;
        throw std::bad_alloc();
    }
    if (allocations_to_failure > 0) --allocations_to_failure;
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
#endif
