// Counts heap allocations while a test has switched counting on.
#include "tests/support/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace testutil {
std::atomic<bool> g_countAllocations{false};
std::atomic<unsigned long> g_allocations{0};
}  // namespace testutil

void* operator new(std::size_t n) {
    if (testutil::g_countAllocations.load(std::memory_order_relaxed))
        testutil::g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
// The nothrow forms too: a `new (std::nothrow)` left to the runtime would be freed here, which
// the address sanitizer reports as a mismatch.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (testutil::g_countAllocations.load(std::memory_order_relaxed))
        testutil::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
    return operator new(n, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
