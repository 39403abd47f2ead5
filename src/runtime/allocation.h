// Accounting of the module's own heap (allocation.cpp), for the test builds.
//
// A library built with BIO_HEAP_ACCOUNTING counts every allocation its operator new
// makes, except on a thread inside an UnaccountedScope: test doubles that stand in for
// the platform open one, so that the count is the module's own work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bio {

struct HeapCount {
    std::uint64_t allocations = 0;
    std::uint64_t bytes = 0;
};

// The counts so far; zeros unless the library was built with BIO_HEAP_ACCOUNTING.
HeapCount heap_count() noexcept;

// The depth of UnaccountedScopes on this thread. Defined here, not in allocation.cpp, so
// that test doubles can open scopes in builds without accounting too.
inline thread_local int t_unaccounted_depth = 0;

class UnaccountedScope {
public:
    UnaccountedScope() noexcept { ++t_unaccounted_depth; }
    ~UnaccountedScope() { --t_unaccounted_depth; }
    UnaccountedScope(const UnaccountedScope&) = delete;
    UnaccountedScope& operator=(const UnaccountedScope&) = delete;
};

}  // namespace bio
