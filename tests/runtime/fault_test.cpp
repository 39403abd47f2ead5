#include <gtest/gtest.h>

#include <string>

#include "runtime/fault.h"

namespace bio {
namespace {

struct Tracker {
    std::vector<int>* released;
    int id;
    ~Tracker() { released->push_back(id); }
};

TEST(Fault, UnwindsThroughOwnersInReverseOrderToTheBoundary) {
    std::vector<int> released;
    FaultPayload caught;
    bool completed = fault_boundary(
        [&] {
            Tracker a{&released, 1};
            Tracker b{&released, 2};
            EXPECT_EQ(faults_in_progress(), 0u);
            raise_fault(std::string("owned ") + "text");
        },
        caught);
    EXPECT_FALSE(completed);
    EXPECT_TRUE(caught.is_owned());
    EXPECT_EQ(caught.text(), "owned text");
    EXPECT_EQ(released, (std::vector<int>{2, 1}));
    EXPECT_EQ(faults_in_progress(), 0u);
    EXPECT_EQ(thread_faults_in_progress(), 0u);
}

TEST(Fault, StaticPayloadAndRealLocation) {
    const std::uint32_t line = __LINE__ + 2;
    try {
        raise_fault("static text");
    } catch (Fault& fault) {
        note_fault_caught();
        EXPECT_TRUE(fault.payload.is_static());
        EXPECT_EQ(fault.payload.text(), "static text");
        EXPECT_STREQ(fault.location.file, "tests/runtime/fault_test.cpp");
        EXPECT_EQ(fault.location.line, line);
    }
}

TEST(Fault, BoundaryPassesCompletionThrough) {
    FaultPayload caught;
    int ran = 0;
    EXPECT_TRUE(fault_boundary([&] { ++ran; }, caught));
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(caught.is_text());
}

TEST(Fault, ResumeCarriesThePayloadWithoutReport) {
    FaultPayload caught;
    EXPECT_FALSE(fault_boundary([] { resume_fault(std::string("from python")); }, caught));
    EXPECT_EQ(caught.text(), "from python");
    EXPECT_EQ(faults_in_progress(), 0u);
}

}  // namespace
}  // namespace bio
