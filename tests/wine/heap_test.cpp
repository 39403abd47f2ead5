// What the Windows client allocates on the module's own heap (counted in this program).
#include <gtest/gtest.h>

#include "runtime/allocation.h"
#include "support.h"
#include "winrt/factory_cache.h"

namespace bio::winrt {
namespace {

using ManagerCache = FactoryCache<abi::IKeyCredentialManagerStatics>;

// A filled cell costs one atomic load and the method call: no allocation at all.
TEST(FactoryCacheHeap, HitAllocatesNothing) {
    bio::testing::registered_doubles();
    ManagerCache cache(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    int runs = 0;
    const auto call = [&] {
        return cache.call([&](abi::IKeyCredentialManagerStatics* statics) -> Outcome<int> {
            return statics != nullptr ? ++runs : -1;
        });
    };
    ASSERT_TRUE(call().ok());
    ASSERT_NE(cache.cached(), nullptr);
    const HeapCount before_hit = heap_count();
    Outcome<int> hit = call();
    const HeapCount after_hit = heap_count();
    ASSERT_TRUE(hit.ok());
    EXPECT_EQ(hit.value(), 2);
    EXPECT_EQ(after_hit.allocations - before_hit.allocations, 0u);

    // The count is live in this program: one block is one allocation.
    char* volatile block = new char[64];
    delete[] block;
    EXPECT_EQ(heap_count().allocations - after_hit.allocations, 1u);
}

}  // namespace
}  // namespace bio::winrt
