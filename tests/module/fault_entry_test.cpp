// Internal faults as the Python surface sees them: the exception a fault becomes, and a
// fault that escapes an entry's boundary. Death tests run in a re-executed child.
#include <csignal>

#include "embedded_python.h"

namespace bio::testing {
namespace {

TEST(FaultReport, OpaquePayloadBecomesAFixedText) {
    FaultPayload caught;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(fault_boundary([] { raise_fault(OpaquePayload{}); }, caught));
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("\nnon-text fault payload\n"), std::string::npos) << written;
    Entered entered;
    PyErr err = error_from_fault(std::move(caught));
    EXPECT_EQ(str_of(normalize_error(err)), "the native code of the biometric module suffered an internal fault");
}

class FaultDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FaultDeathTest, FaultEscapingAnEntryEndsTheProcessAfterTwoReportsAndNothingElse) {
    EXPECT_EXIT(
        {
            lock_depth() = -2;  // the entry's own check faults, outside its boundary
            (void)run_entry([]() -> EntryOutcome { return PyRef::borrow(Py_None); });
        },
        ::testing::KilledBySignal(SIGABRT),
        "panicked at src/module/py_ref.cpp:[0-9]+:[0-9]+:\nAccess to the GIL is currently prohibited.\n(.|\n)*"
        "panicked at src/module/entry.h:[0-9]+:[0-9]+:\nuncaught panic at ffi boundary\nstack backtrace:\n"
        // Frame lines only, to the end: nothing of the C++ runtime's terminate handler.
        "( .*\n)*$");
}

}  // namespace
}  // namespace bio::testing
