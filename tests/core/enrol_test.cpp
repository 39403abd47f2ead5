#include <gtest/gtest.h>

#include "service_test_util.h"

namespace bio::testing {
namespace {

constexpr std::int32_t E_POINTER_HR = static_cast<std::int32_t>(0x80004003u);
constexpr std::int32_t E_ACCESSDENIED_HR = static_cast<std::int32_t>(0x80070005u);

const std::vector<std::string> kEnrolCalls = {
    "create_string", "RequestCreateAsync", "wait_for_results(retrieval)", "Status(retrieval)",
    "Credential", "RetrievePublicKeyWithDefaultBlobType", "EncodeToBase64String"};

struct FailureRow {
    const char* label;
    std::vector<std::pair<Op, Step>> script;
    CredentialErrorCode code;
    const char* last_call;  // the call sequence stops here
    int status_reads = 1;
};

class EnrolFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(EnrolFailure, ReturnsTheCodeAndReleasesEverything) {
    const FailureRow& row = GetParam();
    FakePlatform fake;
    for (const auto& [op, step] : row.script) fake.script(op, step);

    EnrolmentResult result = enrol_credential(fake, "alice");

    ASSERT_TRUE(std::holds_alternative<CredentialErrorCode>(result));
    EXPECT_EQ(std::get<CredentialErrorCode>(result), row.code);
    std::vector<std::string> expected = prefix_through(kEnrolCalls, row.last_call);
    if (row.status_reads == 2) expected.push_back("Status(retrieval)");
    EXPECT_EQ(fake.calls, expected);
    expect_clean(fake);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, EnrolFailure,
    ::testing::Values(
        FailureRow{"RequestCreateAsyncFails", {{Op::RequestCreateAsync, Step::fail(E_POINTER_HR)}}, -2147467261,
                   "RequestCreateAsync"},
        FailureRow{"RequestCreateAsyncYieldsNone", {{Op::RequestCreateAsync, Step::no_object()}}, 0,
                   "RequestCreateAsync"},
        FailureRow{"AwaitFails", {{Op::WaitRetrieval, Step::fail(E_ACCESSDENIED_HR, "denied")}}, E_ACCESSDENIED_HR,
                   "wait_for_results(retrieval)"},
        FailureRow{"AwaitYieldsNoResult", {{Op::WaitRetrieval, Step::no_object()}}, 0,
                   "wait_for_results(retrieval)"},
        FailureRow{"StatusUnreadable", {{Op::StatusRetrieval, Step::fail(E_POINTER_HR)}}, E_POINTER_HR,
                   "Status(retrieval)"},
        // The second read decides the code.
        FailureRow{"StatusNotSuccess",
                   {{Op::StatusRetrieval, Step::status(5)}, {Op::StatusRetrieval, Step::status(3)}}, 3,
                   "Status(retrieval)", 2},
        FailureRow{"StatusNotSuccessSecondReadFails",
                   {{Op::StatusRetrieval, Step::status(5)}, {Op::StatusRetrieval, Step::fail(E_ACCESSDENIED_HR)}},
                   E_ACCESSDENIED_HR, "Status(retrieval)", 2},
        FailureRow{"CredentialFails", {{Op::Credential, Step::fail(E_POINTER_HR)}}, E_POINTER_HR, "Credential"},
        FailureRow{"CredentialYieldsNone", {{Op::Credential, Step::no_object()}}, 0, "Credential"},
        FailureRow{"PublicKeyFails", {{Op::RetrievePublicKeyWithDefaultBlobType, Step::fail(-5)}}, -5,
                   "RetrievePublicKeyWithDefaultBlobType"},
        FailureRow{"PublicKeyYieldsNone", {{Op::RetrievePublicKeyWithDefaultBlobType, Step::no_object()}}, 0,
                   "RetrievePublicKeyWithDefaultBlobType"},
        FailureRow{"EncodeFails", {{Op::EncodeToBase64String, Step::fail(E_POINTER_HR)}}, E_POINTER_HR,
                   "EncodeToBase64String"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Enrol, SuccessReturnsBase64AndReleasesInReverseOrder) {
    FakePlatform fake;
    fake.base64_text = "MIIBIjAN";

    EnrolmentResult result = enrol_credential(fake, "alice");

    ASSERT_TRUE(std::holds_alternative<std::string>(result));
    EXPECT_EQ(std::get<std::string>(result), "MIIBIjAN");
    EXPECT_EQ(fake.calls, kEnrolCalls);
    EXPECT_EQ(fake.last_name, "alice");
    EXPECT_EQ(fake.last_creation_option, 1);  // FailIfExists
    // The operation goes once its result is taken, the credential once its key is read,
    // the rest in reverse order of acquisition.
    EXPECT_EQ(fake.releases(), (std::vector<std::string>{"RetrievalOperation#1", "Credential#3", "String#5",
                                                         "Buffer#4", "RetrievalResult#2", "String#0"}));
    expect_clean(fake);
}

TEST(Enrol, EmptyOrMissingEncodedTextIsEmptyText) {
    for (bool missing : {false, true}) {
        FakePlatform fake;
        fake.base64_text = "";
        if (missing) fake.script(Op::EncodeToBase64String, Step::no_object());
        EnrolmentResult result = enrol_credential(fake, "bob");
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << missing;
        EXPECT_EQ(std::get<std::string>(result), "");
        expect_clean(fake);
    }
}

TEST(Enrol, NamePassedWithEveryByteAndEmptyNameIsTheEmptyString) {
    FakePlatform fake;
    const std::string name("a\0b\xC3\xA9", 5);
    enrol_credential(fake, name);
    EXPECT_EQ(fake.last_name, name);

    FakePlatform empty;
    EXPECT_TRUE(std::holds_alternative<std::string>(enrol_credential(empty, "")));
    EXPECT_EQ(empty.calls.front(), "create_string");
    expect_clean(empty);
}

}  // namespace
}  // namespace bio::testing
