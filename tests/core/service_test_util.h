#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "runtime/fault.h"

namespace bio::testing {

// Runs body inside a fault boundary; returns the fault's text, or nullopt if none.
template <class Body>
std::optional<std::string> fault_text_of(Body&& body) {
    FaultPayload payload;
    if (fault_boundary(std::forward<Body>(body), payload)) return std::nullopt;
    return std::string(payload.text());
}

// Nothing left behind, nothing released twice.
inline void expect_clean(const FakePlatform& fake) {
    EXPECT_EQ(fake.live_objects(), 0);
    EXPECT_EQ(fake.live_arrays(), 0);
    EXPECT_TRUE(fake.faults.empty()) << ::testing::PrintToString(fake.faults);
}

inline std::vector<std::string> prefix_through(const std::vector<std::string>& calls, const std::string& last) {
    std::vector<std::string> out;
    for (const std::string& c : calls) {
        out.push_back(c);
        if (c == last) break;
    }
    return out;
}

}  // namespace bio::testing
