#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "keyd/protocol.h"
#include "keyd/request.h"

namespace bio::keyd {
namespace {

struct DecodeCase {
    const char* label;
    std::string member, signature, text;
    std::size_t bytes;
    const char* bus_error;  // null: accepted or refused as an argument
    const char* refusal;    // part of the argument refusal's text; null: accepted
};

const std::string kUnknown = "org.freedesktop.DBus.Error.UnknownMethod";
const std::string kInvalid = "org.freedesktop.DBus.Error.InvalidArgs";

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, AcceptsOrRefusesWithTheReason) {
    const DecodeCase& c = GetParam();
    const std::vector<std::uint8_t> data(c.bytes, 0x5A);
    const CallFields fields{c.member, c.signature, 7, c.text, true, data};
    const Decoded decoded = decode_request(fields);
    if (c.bus_error == nullptr && c.refusal == nullptr) {
        ASSERT_TRUE(std::holds_alternative<Request>(decoded)) << std::get<Refusal>(decoded).text;
        const Request& request = std::get<Request>(decoded);
        Operation operation;
        ASSERT_TRUE(operation_of_member(c.member, operation));
        EXPECT_EQ(request.operation, operation);
        std::array<std::uint8_t, 32> digest{};
        if (operation == Operation::Sign) digest.fill(0x5A);
        EXPECT_EQ(request.digest, digest);
        EXPECT_EQ(request.name.empty() && request.message.empty(), c.text.empty() || c.signature.find('s') == std::string::npos);
        return;
    }
    ASSERT_TRUE(std::holds_alternative<Refusal>(decoded));
    const Refusal& refusal = std::get<Refusal>(decoded);
    EXPECT_EQ(refusal.bus_error, c.bus_error != nullptr ? c.bus_error : "");
    if (c.refusal != nullptr) {
        EXPECT_NE(refusal.text.find(c.refusal), std::string::npos) << refusal.text;
    }
}

const std::string kLongestName(kMaxNameBytes, 'n');
const std::string kLongestMessage(kMaxMessageBytes, 'm');

INSTANTIATE_TEST_SUITE_P(
    Table, Decode,
    ::testing::Values(
        DecodeCase{"Availability", "Availability", "", "", 0, nullptr, nullptr},
        DecodeCase{"Create", "Create", "tsb", "alice", 0, nullptr, nullptr},
        DecodeCase{"CreateEmptyName", "Create", "tsb", "", 0, nullptr, nullptr},
        DecodeCase{"CreateLongestName", "Create", "tsb", kLongestName, 0, nullptr, nullptr},
        DecodeCase{"CreateNameTooLong", "Create", "tsb", kLongestName + "n", 0, nullptr, "at most 1024"},
        DecodeCase{"OpenNonAscii", "Open", "s", "\xC3\xA9t\xC3\xA9", 0, nullptr, nullptr},
        DecodeCase{"OpenIllFormed", "Open", "s", "a\xC3", 0, nullptr, "not UTF-8"},
        DecodeCase{"DeleteSurrogate", "Delete", "s", "\xED\xA0\x80", 0, nullptr, "not UTF-8"},
        DecodeCase{"AttestationNul", "Attestation", "s", std::string("a\0b", 3), 0, nullptr, "without NUL"},
        DecodeCase{"SignDigest", "Sign", "tsay", "k", 32, nullptr, nullptr},
        DecodeCase{"SignNoDigest", "Sign", "tsay", "k", 0, nullptr, "the digest has 0 bytes"},
        DecodeCase{"SignDigestTooLong", "Sign", "tsay", "k", 33, nullptr, "a SHA-256 digest has 32"},
        DecodeCase{"SignNameTooLong", "Sign", "tsay", kLongestName + "n", 32, nullptr, "credential name"},
        DecodeCase{"VerifyLongestMessage", "VerifyUser", "ts", kLongestMessage, 0, nullptr, nullptr},
        DecodeCase{"VerifyMessageTooLong", "VerifyUser", "ts", kLongestMessage + "m", 0, nullptr, "at most 4096"},
        DecodeCase{"VerifyIllFormed", "VerifyUser", "ts", "\xFF", 0, nullptr, "message is not UTF-8"},
        DecodeCase{"Cancel", "Cancel", "t", "", 0, nullptr, nullptr},
        DecodeCase{"UnknownMember", "Steal", "s", "x", 0, kUnknown.c_str(), "no method Steal"},
        DecodeCase{"LowerCaseMember", "sign", "tsay", "k", 0, kUnknown.c_str(), nullptr},
        DecodeCase{"OtherSignature", "Sign", "say", "k", 0, kInvalid.c_str(), "takes (tsay)"},
        DecodeCase{"ExtraArgument", "Open", "ss", "k", 0, kInvalid.c_str(), nullptr},
        DecodeCase{"MissingArgument", "Create", "ts", "k", 0, kInvalid.c_str(), nullptr}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace bio::keyd
