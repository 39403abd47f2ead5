// Reading a public key, removing a credential and the support check, against the fake.
#include <gtest/gtest.h>

#include "service_test_util.h"

namespace bio::testing {
namespace {

constexpr std::int32_t E_POINTER_HR = static_cast<std::int32_t>(0x80004003u);
constexpr std::int32_t E_FAIL_HR = static_cast<std::int32_t>(0x80004005u);
constexpr std::int32_t NTE_NO_KEY_HR = static_cast<std::int32_t>(0x8009000Du);

const std::vector<std::string> kPublicKeyCalls = {
    "create_string", "OpenAsync", "wait_for_results(retrieval)", "Status(retrieval)", "Credential",
    "RetrievePublicKeyWithBlobType", "CopyToByteArray"};
const std::vector<std::string> kDeleteCalls = {"create_string", "DeleteAsync", "wait_for_results(delete)"};
const std::vector<std::string> kSupportCalls = {"IsSupportedAsync", "wait_for_results(support)"};

enum class Operation { PublicKey, Delete, Support };

struct FailureRow {
    const char* label;
    Operation operation;
    std::vector<std::pair<Op, Step>> script;
    CredentialErrorCode code;
    const char* last_call;
    bool second_status = false;  // a second Status read follows the last call
};

// The code the operation ended with, or nullopt when it succeeded.
std::optional<CredentialErrorCode> run(Operation operation, FakePlatform& fake) {
    switch (operation) {
        case Operation::PublicKey: {
            PublicKeyResult result = read_public_key(fake, "alice");
            if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return *code;
            return std::nullopt;
        }
        case Operation::Delete: return delete_credential(fake, "alice");
        case Operation::Support: {
            SupportResult result = check_support(fake);
            if (const auto* code = std::get_if<CredentialErrorCode>(&result)) return *code;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

const std::vector<std::string>& calls_of(Operation operation) {
    switch (operation) {
        case Operation::PublicKey: return kPublicKeyCalls;
        case Operation::Delete: return kDeleteCalls;
        case Operation::Support: break;
    }
    return kSupportCalls;
}

class KeysFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(KeysFailure, ReturnsTheCodeStopsThereAndReleasesEverything) {
    const FailureRow& row = GetParam();
    FakePlatform fake;
    for (const auto& [op, step] : row.script) fake.script(op, step);

    std::optional<CredentialErrorCode> code = run(row.operation, fake);

    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, row.code);
    std::vector<std::string> expected = prefix_through(calls_of(row.operation), row.last_call);
    if (row.second_status) expected.emplace_back("Status(retrieval)");
    EXPECT_EQ(fake.calls, expected);
    expect_clean(fake);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, KeysFailure,
    ::testing::Values(
        FailureRow{"PublicKeyOpenAsyncFails", Operation::PublicKey, {{Op::OpenAsync, Step::fail(E_POINTER_HR)}},
                   -2147467261, "OpenAsync"},
        FailureRow{"PublicKeyOpenAsyncYieldsNone", Operation::PublicKey, {{Op::OpenAsync, Step::no_object()}}, 0,
                   "OpenAsync"},
        FailureRow{"PublicKeyAwaitFails", Operation::PublicKey, {{Op::WaitRetrieval, Step::fail(E_FAIL_HR)}},
                   E_FAIL_HR, "wait_for_results(retrieval)"},
        FailureRow{"PublicKeyAwaitYieldsNone", Operation::PublicKey, {{Op::WaitRetrieval, Step::no_object()}}, 0,
                   "wait_for_results(retrieval)"},
        FailureRow{"PublicKeyStatusUnreadable", Operation::PublicKey, {{Op::StatusRetrieval, Step::fail(E_FAIL_HR)}},
                   E_FAIL_HR, "Status(retrieval)"},
        // Not found: the second read decides the code, and no key is asked for.
        FailureRow{"PublicKeyStatusNotSuccess",
                   Operation::PublicKey,
                   {{Op::StatusRetrieval, Step::status(2)}, {Op::StatusRetrieval, Step::status(6)}},
                   6,
                   "Status(retrieval)",
                   true},
        FailureRow{"PublicKeyStatusSecondReadFails",
                   Operation::PublicKey,
                   {{Op::StatusRetrieval, Step::status(2)}, {Op::StatusRetrieval, Step::fail(E_POINTER_HR)}},
                   E_POINTER_HR,
                   "Status(retrieval)",
                   true},
        FailureRow{"PublicKeyCredentialFails", Operation::PublicKey, {{Op::Credential, Step::fail(E_FAIL_HR)}},
                   E_FAIL_HR, "Credential"},
        FailureRow{"PublicKeyCredentialYieldsNone", Operation::PublicKey, {{Op::Credential, Step::no_object()}}, 0,
                   "Credential"},
        FailureRow{"PublicKeyRetrieveFails", Operation::PublicKey,
                   {{Op::RetrievePublicKeyWithBlobType, Step::fail(NTE_NO_KEY_HR)}}, NTE_NO_KEY_HR,
                   "RetrievePublicKeyWithBlobType"},
        FailureRow{"PublicKeyRetrieveYieldsNone", Operation::PublicKey,
                   {{Op::RetrievePublicKeyWithBlobType, Step::no_object()}}, 0, "RetrievePublicKeyWithBlobType"},
        FailureRow{"PublicKeyCopyFails", Operation::PublicKey, {{Op::CopyToByteArray, Step::fail(E_POINTER_HR)}},
                   E_POINTER_HR, "CopyToByteArray"},
        FailureRow{"DeleteAsyncFails", Operation::Delete, {{Op::DeleteAsync, Step::fail(E_FAIL_HR)}}, E_FAIL_HR,
                   "DeleteAsync"},
        FailureRow{"DeleteAsyncYieldsNone", Operation::Delete, {{Op::DeleteAsync, Step::no_object()}}, 0,
                   "DeleteAsync"},
        // A name that is not enrolled: whatever the platform's await reports.
        FailureRow{"DeleteAwaitFails", Operation::Delete, {{Op::WaitDelete, Step::fail(2, "not found")}}, 2,
                   "wait_for_results(delete)"},
        FailureRow{"IsSupportedAsyncFails", Operation::Support, {{Op::IsSupportedAsync, Step::fail(E_POINTER_HR)}},
                   E_POINTER_HR, "IsSupportedAsync"},
        FailureRow{"IsSupportedAsyncYieldsNone", Operation::Support, {{Op::IsSupportedAsync, Step::no_object()}}, 0,
                   "IsSupportedAsync"},
        FailureRow{"SupportAwaitFails", Operation::Support, {{Op::WaitSupport, Step::fail(E_FAIL_HR)}}, E_FAIL_HR,
                   "wait_for_results(support)"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PublicKey, IsTheSubjectPublicKeyInfoCopiedOutAndEverythingGoesInOrder) {
    FakePlatform fake;
    fake.public_key = {0x30, 0x82, 0x01, 0x22, 0x00, 0xFF};

    PublicKeyResult result = read_public_key(fake, "alice");

    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(result), fake.public_key);
    EXPECT_EQ(fake.calls, kPublicKeyCalls);
    EXPECT_EQ(fake.last_name, "alice");
    EXPECT_EQ(fake.last_blob_type, 0);  // X509SubjectPublicKeyInfo
    // The operation goes once its result is taken, the credential once its key is read;
    // nothing is prepared for CopyToByteArray, whose own array is freed.
    EXPECT_EQ(fake.releases(), (std::vector<std::string>{"RetrievalOperation#1", "Credential#3", "Buffer#4",
                                                         "RetrievalResult#2", "String#0"}));
    EXPECT_EQ(fake.arrays_allocated(), 1);
    expect_clean(fake);
}

TEST(PublicKey, AnEmptyKeyOrAnArrayLeftAsGivenIsNoBytes) {
    for (bool keeps_array : {false, true}) {
        FakePlatform fake;
        fake.copy_keeps_array = keeps_array;
        if (!keeps_array) fake.public_key.clear();
        PublicKeyResult result = read_public_key(fake, "k");
        ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(result)) << keeps_array;
        EXPECT_TRUE(std::get<std::vector<std::uint8_t>>(result).empty());
        EXPECT_EQ(fake.arrays_allocated(), 0);
        expect_clean(fake);
    }
}

TEST(Delete, SucceedsWithNothingAndPassesTheNameWithEveryByte) {
    FakePlatform fake;
    const std::string name("a\0b\xC3\xA9", 5);
    EXPECT_EQ(delete_credential(fake, name), std::nullopt);
    EXPECT_EQ(fake.calls, kDeleteCalls);
    EXPECT_EQ(fake.last_name, name);
    EXPECT_EQ(fake.releases(), (std::vector<std::string>{"DeleteOperation#1", "String#0"}));
    expect_clean(fake);
}

TEST(Support, YieldsThePlatformsAnswer) {
    for (bool supported : {true, false}) {
        FakePlatform fake;
        fake.script(Op::WaitSupport, Step::answer(supported));
        SupportResult result = check_support(fake);
        ASSERT_TRUE(std::holds_alternative<bool>(result));
        EXPECT_EQ(std::get<bool>(result), supported);
        EXPECT_EQ(fake.calls, kSupportCalls);
        expect_clean(fake);
    }
}

}  // namespace
}  // namespace bio::testing
