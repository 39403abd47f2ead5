#include "runtime/unique_handle.h"

#include <gtest/gtest.h>

#include <vector>

namespace bio {
namespace {

// Handles are small ints, -1 is none; every close is recorded.
std::vector<int> g_closed;
struct TestTraits {
    using type = int;
    static type invalid() noexcept { return -1; }
    static void close(type handle) noexcept { g_closed.push_back(handle); }
};
using Handle = UniqueHandle<TestTraits>;

void fill(int* out, int value) { *out = value; }

TEST(UniqueHandle, ClosesEachHandleOnceAndNeverTheInvalidOne) {
    g_closed.clear();
    {
        Handle none;
        EXPECT_FALSE(none);
        Handle a(1);
        Handle b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), 1);
        Handle c(2);
        c = std::move(b);  // closes 2
        Handle& same = c;
        c = std::move(same);  // keeps 1
        b.reset(3);
        b.reset(4);  // closes 3
        Handle d(5);
        EXPECT_EQ(d.release(), 5);  // never closed
        EXPECT_FALSE(d);
        fill(out_param(d), 7);
        EXPECT_EQ(d.get(), 7);
        fill(out_param(c), 8);  // closes 1 first
        EXPECT_EQ(c.get(), 8);
    }  // closes 7, 8, 4
    EXPECT_EQ(g_closed, (std::vector<int>{2, 3, 1, 7, 8, 4}));
}

}  // namespace
}  // namespace bio
