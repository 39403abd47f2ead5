#include "keyd/request.h"

#include <algorithm>

#include "keyd/protocol.h"
#include "utf8.h"

namespace bio::keyd {
namespace {

constexpr std::string_view kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr std::string_view kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

struct Method {
    std::string_view member;
    Operation operation;
    std::string_view signature;
};

constexpr Method kMethods[] = {
    {"Availability", Operation::Availability, ""}, {"Create", Operation::Create, "tsb"},
    {"Open", Operation::Open, "s"},                {"Sign", Operation::Sign, "tsay"},
    {"Delete", Operation::Delete, "s"},            {"VerifyUser", Operation::VerifyUser, "ts"},
    {"Attestation", Operation::Attestation, "s"},  {"Cancel", Operation::Cancel, "t"},
};

// Whether `text` is well-formed UTF-8 without NUL: each scalar decodes to itself (an
// ill-formed sequence decodes to U+FFFD, which is also a scalar of its own of 3 bytes).
bool is_clean_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const char32_t scalar = next_scalar(text, pos);
        if (scalar == 0) return false;
        if (scalar == 0xFFFD && text.substr(start, pos - start) != "\xEF\xBF\xBD") return false;
    }
    return true;
}

// Text of at most `limit` bytes, well-formed UTF-8 without NUL; why not, naming it `what`.
std::string check_text(std::string_view what, std::string_view text, std::size_t limit) {
    const std::string the = "the " + std::string(what);
    if (text.size() > limit) {
        return the + " has " + std::to_string(text.size()) + " bytes; at most " + std::to_string(limit) +
               " are allowed";
    }
    if (!is_clean_utf8(text)) return the + " is not UTF-8 text without NUL";
    return {};
}

}  // namespace

std::string_view argument_signature(Operation operation) noexcept {
    for (const Method& method : kMethods) {
        if (method.operation == operation) return method.signature;
    }
    return {};
}

bool operation_of_member(std::string_view member, Operation& operation) noexcept {
    for (const Method& method : kMethods) {
        if (method.member == member) {
            operation = method.operation;
            return true;
        }
    }
    return false;
}

std::string check_name(std::string_view name) { return check_text("credential name", name, kMaxNameBytes); }

std::string check_message(std::string_view message) { return check_text("message", message, kMaxMessageBytes); }

std::string check_digest(std::size_t size) {
    if (size != kDigestBytes) {
        return "the digest has " + std::to_string(size) + " bytes; a SHA-256 digest has " +
               std::to_string(kDigestBytes);
    }
    return {};
}

Decoded decode_request(const CallFields& fields) {
    Request request;
    if (!operation_of_member(fields.member, request.operation)) {
        return Refusal{std::string(kUnknownMethod), "no method " + utf8_lossy(fields.member) + " in " + kInterface};
    }
    const std::string_view expected = argument_signature(request.operation);
    if (fields.signature != expected) {
        return Refusal{std::string(kInvalidArgs), utf8_lossy(fields.member) + " takes (" + std::string(expected) +
                                                      "), not (" + utf8_lossy(fields.signature) + ")"};
    }
    std::string why;
    switch (request.operation) {
        case Operation::Availability: break;
        case Operation::Cancel: request.number = fields.number; break;
        case Operation::Create:
            request.number = fields.number;
            request.replace = fields.flag;
            why = check_name(fields.text);
            if (why.empty()) request.name = fields.text;
            break;
        case Operation::Open:
        case Operation::Delete:
        case Operation::Attestation:
            why = check_name(fields.text);
            if (why.empty()) request.name = fields.text;
            break;
        case Operation::Sign:
            request.number = fields.number;
            why = check_name(fields.text);
            if (why.empty()) why = check_digest(fields.bytes.size());
            if (why.empty()) std::copy(fields.bytes.begin(), fields.bytes.end(), request.digest.begin());
            if (why.empty()) request.name = fields.text;
            break;
        case Operation::VerifyUser:
            request.number = fields.number;
            why = check_message(fields.text);
            if (why.empty()) request.message = fields.text;
            break;
    }
    if (!why.empty()) return Refusal{{}, std::move(why)};
    return request;
}

}  // namespace bio::keyd
