#pragma once

#include <atomic>

namespace testutil {
extern std::atomic<bool> g_countAllocations;
extern std::atomic<unsigned long> g_allocations;
}  // namespace testutil
