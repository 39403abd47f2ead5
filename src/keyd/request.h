// What a caller of biometric-keyd asks, decoded from a method call's fields and checked
// before anything else looks at it. Decoding is a pure function of the fields: the bus
// layer reads them out of the message as its signature says, nothing more, and every
// limit is applied here (and driven by fuzz/fuzz_keyd_request.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace bio::keyd {

// A credential name of more bytes than this is refused (kBadArgument): the store keeps a
// name in nested directories of at most three times its length, and a user's names
// must stay well within what the file system takes below the state directory.
inline constexpr std::size_t kMaxNameBytes = 1024;

enum class Operation { Availability, Create, Open, Sign, Delete, VerifyUser, Attestation, Cancel };

// The D-Bus signature of each method's arguments.
std::string_view argument_signature(Operation operation) noexcept;
// The method of that member name, if there is one.
bool operation_of_member(std::string_view member, Operation& operation) noexcept;

// A method call's fields as the bus layer read them (those the signature does not have
// stay empty): t -> number, s -> text, b -> flag, ay -> bytes.
struct CallFields {
    std::string_view member;
    std::string_view signature;
    std::uint64_t number = 0;
    std::string_view text;
    bool flag = false;
    std::span<const std::uint8_t> bytes;
};

// A request that passed every check.
struct Request {
    Operation operation = Operation::Availability;
    std::uint64_t number = 0;      // Create, Sign, VerifyUser, Cancel
    std::string name;              // Create, Open, Sign, Delete, Attestation
    bool replace = false;          // Create
    std::array<std::uint8_t, 32> digest{};  // Sign: the SHA-256 digest of the caller's data
    std::string message;           // VerifyUser
};

// Why a call was refused. `bus_error` names a D-Bus error for a call that is not one of
// the interface's (no such method, other arguments); empty for a refused argument, which
// gets the method's own reply with kBadArgument and `text`.
struct Refusal {
    std::string bus_error;
    std::string text;
};

using Decoded = std::variant<Request, Refusal>;

Decoded decode_request(const CallFields& fields);

// The checks of the arguments, one by one (also what decode_request applies).
// Empty when `name` is acceptable, else why not.
std::string check_name(std::string_view name);
std::string check_message(std::string_view message);
std::string check_digest(std::size_t size);

}  // namespace bio::keyd
