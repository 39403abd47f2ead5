#include <gtest/gtest.h>

#include "service_test_util.h"

namespace bio::testing {
namespace {

constexpr std::int32_t E_POINTER_HR = static_cast<std::int32_t>(0x80004003u);
constexpr std::int32_t E_FAIL_HR = static_cast<std::int32_t>(0x80004005u);
constexpr std::int32_t NTE_BAD_DATA_HR = static_cast<std::int32_t>(0x80090005u);

const std::vector<std::string> kSignCalls = {
    "create_string", "OpenAsync", "wait_for_results(retrieval)", "Status(retrieval)", "Credential",
    "CreateFromByteArray", "RequestSignAsync", "wait_for_results(sign)", "Status(operation)", "Result",
    "Length", "CopyToByteArray"};

const std::uint8_t kData[] = {'n', 'o', 'n', 'c', 'e'};
const ByteView kDataView{kData, sizeof kData};

struct FailureRow {
    const char* label;
    std::vector<std::pair<Op, Step>> script;
    CredentialErrorCode code;
    const char* last_call;
    const char* second_status = nullptr;  // a second Status read follows the last call
};

class SignFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(SignFailure, ReturnsTheCodeAndReleasesEverything) {
    const FailureRow& row = GetParam();
    FakePlatform fake;
    for (const auto& [op, step] : row.script) fake.script(op, step);

    SigningResult result = sign_with_credential(fake, "alice", kDataView);

    ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
    EXPECT_EQ(std::get<CredentialErrorCode>(result), row.code);
    std::vector<std::string> expected = prefix_through(kSignCalls, row.last_call);
    if (row.second_status) expected.emplace_back(row.second_status);
    EXPECT_EQ(fake.calls, expected);
    expect_clean(fake);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, SignFailure,
    ::testing::Values(
        FailureRow{"OpenAsyncFails", {{Op::OpenAsync, Step::fail(E_POINTER_HR)}}, -2147467261, "OpenAsync"},
        FailureRow{"OpenAsyncYieldsNone", {{Op::OpenAsync, Step::no_object()}}, 0, "OpenAsync"},
        FailureRow{"AwaitOpenFails", {{Op::WaitRetrieval, Step::fail(E_FAIL_HR)}}, E_FAIL_HR,
                   "wait_for_results(retrieval)"},
        FailureRow{"AwaitOpenYieldsNone", {{Op::WaitRetrieval, Step::no_object()}}, 0,
                   "wait_for_results(retrieval)"},
        FailureRow{"RetrievalStatusUnreadable", {{Op::StatusRetrieval, Step::fail(E_FAIL_HR)}}, E_FAIL_HR,
                   "Status(retrieval)"},
        // Not found: the call ends there; no buffer is made and nothing is signed.
        FailureRow{"RetrievalStatusNotSuccess",
                   {{Op::StatusRetrieval, Step::status(2)}, {Op::StatusRetrieval, Step::status(2)}}, 2,
                   "Status(retrieval)", "Status(retrieval)"},
        FailureRow{"RetrievalStatusSecondReadFails",
                   {{Op::StatusRetrieval, Step::status(2)}, {Op::StatusRetrieval, Step::fail(E_FAIL_HR)}},
                   E_FAIL_HR, "Status(retrieval)", "Status(retrieval)"},
        FailureRow{"CredentialFails", {{Op::Credential, Step::fail(E_POINTER_HR)}}, E_POINTER_HR, "Credential"},
        FailureRow{"CredentialYieldsNone", {{Op::Credential, Step::no_object()}}, 0, "Credential"},
        FailureRow{"CreateFromByteArrayFails", {{Op::CreateFromByteArray, Step::fail(E_FAIL_HR)}}, E_FAIL_HR,
                   "CreateFromByteArray"},
        FailureRow{"CreateFromByteArrayYieldsNone", {{Op::CreateFromByteArray, Step::no_object()}}, 0,
                   "CreateFromByteArray"},
        FailureRow{"RequestSignAsyncFails", {{Op::RequestSignAsync, Step::fail(NTE_BAD_DATA_HR)}},
                   NTE_BAD_DATA_HR, "RequestSignAsync"},
        FailureRow{"RequestSignAsyncYieldsNone", {{Op::RequestSignAsync, Step::no_object()}}, 0,
                   "RequestSignAsync"},
        FailureRow{"AwaitSignFails", {{Op::WaitSign, Step::fail(E_FAIL_HR)}}, E_FAIL_HR, "wait_for_results(sign)"},
        FailureRow{"AwaitSignYieldsNone", {{Op::WaitSign, Step::no_object()}}, 0, "wait_for_results(sign)"},
        FailureRow{"OperationStatusUnreadable", {{Op::StatusOperation, Step::fail(E_POINTER_HR)}}, E_POINTER_HR,
                   "Status(operation)"},
        FailureRow{"OperationStatusNotSuccess",
                   {{Op::StatusOperation, Step::status(3)}, {Op::StatusOperation, Step::status(6)}}, 6,
                   "Status(operation)", "Status(operation)"},
        FailureRow{"OperationStatusSecondReadFails",
                   {{Op::StatusOperation, Step::status(3)}, {Op::StatusOperation, Step::fail(E_FAIL_HR)}},
                   E_FAIL_HR, "Status(operation)", "Status(operation)"},
        FailureRow{"ResultFails", {{Op::Result, Step::fail(E_FAIL_HR)}}, E_FAIL_HR, "Result"},
        FailureRow{"ResultYieldsNone", {{Op::Result, Step::no_object()}}, 0, "Result"},
        FailureRow{"CopyToByteArrayFails", {{Op::CopyToByteArray, Step::fail(E_POINTER_HR)}}, E_POINTER_HR,
                   "CopyToByteArray"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Sign, SuccessReturnsTheSignatureInOrderAndReleasesInReverseOrder) {
    FakePlatform fake;
    fake.signature = {0, 1, 127, 128, 255};

    SigningResult result = sign_with_credential(fake, "alice", kDataView);

    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(result), (std::vector<std::uint8_t>{0, 1, 127, 128, 255}));
    EXPECT_EQ(fake.calls, kSignCalls);
    EXPECT_EQ(fake.last_data, std::vector<std::uint8_t>(kData, kData + sizeof kData));
    EXPECT_EQ(fake.releases(),
              (std::vector<std::string>{"RetrievalOperation#1", "SignOperation#5", "Buffer#7", "OperationResult#6",
                                        "Buffer#4", "Credential#3", "RetrievalResult#2", "String#0"}));
    // The prepared array and the platform's own array are both freed.
    EXPECT_EQ(fake.arrays_allocated(), 2);
    expect_clean(fake);
}

// The prepared block goes as soon as CopyToByteArray has handed back an array of its own,
// before the bytes are taken from that array and it is freed in turn.
TEST(Sign, PreparedArrayIsFreedBeforeTheReturnedOne) {
    FakePlatform fake;
    SigningResult result = sign_with_credential(fake, "alice", kDataView);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_EQ(fake.array_events, (std::vector<std::string>{"+Array#0", "+Array#1", "-Array#0", "-Array#1"}));
    expect_clean(fake);
}

// The largest count a u32 can say reaches the platform as it is; one more is a fault
// (FaultRow DataTooLong). The view is never read: the fake keeps only the count.
TEST(Sign, DataOfExactlyTheLargestU32CountIsPassedOn) {
    FakePlatform fake;
    SigningResult result = sign_with_credential(fake, "alice", ByteView{kData, 0xFFFFFFFFu});
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_EQ(fake.last_data_length, 0xFFFFFFFFu);
    EXPECT_EQ(fake.calls, kSignCalls);
    expect_clean(fake);
}

TEST(Sign, EmptySignatureAndEmptyData) {
    FakePlatform fake;
    fake.signature = {};
    SigningResult result = sign_with_credential(fake, "k", ByteView{nullptr, 0});
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_TRUE(std::get<std::vector<std::uint8_t>>(result).empty());
    EXPECT_TRUE(fake.last_data.empty());
    EXPECT_EQ(fake.arrays_allocated(), 0);
    expect_clean(fake);
}

TEST(Sign, ArrayHandedBackUnchangedIsFreedOnce) {
    FakePlatform fake;
    fake.copy_keeps_array = true;
    fake.signature = {9, 9, 9};
    SigningResult result = sign_with_credential(fake, "k", kDataView);
    // The prepared array is zero-filled at the signature's length.
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(result), (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(fake.arrays_allocated(), 1);
    expect_clean(fake);
}

struct FaultRow {
    const char* label;
    std::function<void(FakePlatform&)> arrange;
    ByteView data;
    std::string message;
    const char* last_call;
};

class SignFault : public ::testing::TestWithParam<FaultRow> {};

TEST_P(SignFault, FaultsWithTheExactMessageAndReleasesWhileUnwinding) {
    const FaultRow& row = GetParam();
    FakePlatform fake;
    row.arrange(fake);

    auto text = fault_text_of([&] { sign_with_credential(fake, "alice", row.data); });

    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, row.message);
    EXPECT_EQ(fake.calls, prefix_through(kSignCalls, row.last_call));
    EXPECT_EQ(faults_in_progress(), 0u);
    expect_clean(fake);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SignFault,
    ::testing::Values(
        FaultRow{"LengthUnreadable",
                 [](FakePlatform& f) { f.script(Op::Length, Step::fail(E_FAIL_HR, "Unspecified error")); },
                 kDataView,
                 "called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x80004005), message: "
                 "\"Unspecified error\" }",
                 "Length"},
        FaultRow{"LengthAtLimit", [](FakePlatform& f) { f.script(Op::Length, Step::length(0xFFFFFFFFu)); },
                 kDataView, "assertion failed: len < u32::MAX as usize", "Length"},
        FaultRow{"ArrayAllocationFails", [](FakePlatform& f) { f.fail_array_allocation = true; }, kDataView,
                 "Could not successfully allocate for Array", "Length"},
        // A view that claims more than a u32 count can say; nothing is read from it.
        FaultRow{"DataTooLong", [](FakePlatform&) {}, ByteView{kData, std::size_t{1} << 32},
                 "called `Result::unwrap()` on an `Err` value: TryFromIntError(())", "Credential"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Sign, FaultLocationIsTheCheckInOurSource) {
    FakePlatform fake;
    fake.script(Op::Length, Step::length(0xFFFFFFFFu));
    try {
        sign_with_credential(fake, "alice", kDataView);
        FAIL() << "no fault";
    } catch (Fault& fault) {
        note_fault_caught();
        EXPECT_STREQ(fault.location.file, "src/bio_windows.cpp");
        EXPECT_GT(fault.location.line, 0u);
        EXPECT_GT(fault.location.column, 0u);
    }
    expect_clean(fake);
}

}  // namespace
}  // namespace bio::testing
