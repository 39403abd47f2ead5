// biometric-keyd's request decoding, over fields any local user can put in a call: it
// never fails other than by refusing, and what it accepts is within every limit.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "keyd/protocol.h"
#include "keyd/request.h"

using namespace bio::keyd;

namespace {

constexpr std::string_view kMembers[] = {"Availability", "Create", "Open", "Sign", "Delete",
                                         "VerifyUser",   "Attestation", "Cancel", "Introspect"};
constexpr std::string_view kSignatures[] = {"", "tsb", "s", "tsay", "ts", "t", "say", "ss"};

}  // namespace

// Input: a byte choosing the member (or, past the table, the member is read from the
// input), a byte choosing the signature, a byte of flags, then the text and the bytes
// split at the first 0xFF 0xFE pair.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 3, size - 3);
    const std::size_t split = input.find("\xFF\xFE");
    const std::string_view text = input.substr(0, split);
    const std::string_view rest = split == std::string_view::npos ? std::string_view() : input.substr(split + 2);

    CallFields fields;
    const std::size_t member = data[0] % (std::size(kMembers) + 1);
    fields.member = member < std::size(kMembers) ? kMembers[member] : text;
    fields.signature = kSignatures[data[1] % std::size(kSignatures)];
    fields.flag = (data[2] & 1) != 0;
    fields.number = data[2];
    fields.text = text;
    fields.bytes = std::span(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());

    const Decoded decoded = decode_request(fields);
    if (const Refusal* refusal = std::get_if<Refusal>(&decoded)) {
        FUZZ_CHECK(!refusal->text.empty());
        return 0;
    }
    const Request& request = std::get<Request>(decoded);
    Operation operation;
    FUZZ_CHECK(operation_of_member(fields.member, operation) && operation == request.operation);
    FUZZ_CHECK(fields.signature == argument_signature(operation));
    FUZZ_CHECK(check_name(request.name).empty() && request.name.size() <= kMaxNameBytes);
    FUZZ_CHECK(check_message(request.message).empty() && request.message.size() <= kMaxMessageBytes);
    FUZZ_CHECK(request.name.find('\0') == std::string::npos && request.message.find('\0') == std::string::npos);
    if (operation == Operation::Sign) FUZZ_CHECK(fields.bytes.size() == kDigestBytes);
    return 0;
}
