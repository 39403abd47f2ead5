// The key service's client: one call of biometric-keyd (src/keyd/protocol.h) on the
// system bus, through libsystemd's sd-bus (loaded at run time), on the calling thread's
// own connection, kept for its next calls (a new connection costs the bus's handshake
// and the service's question about who is behind it), so that any thread may make one.
//
// A request that may wait for the user (Create, Sign, VerifyUser) carries a number of
// this process's own. It waits as long as the service takes, asking check_wait() between
// slices; when check_wait says stop (Ctrl-C, the program's cancellation, the deadline)
// it sends Cancel(number) and waits for the request's reply, which is then UserCanceled
// (nothing changed) or the request's result (it had committed): whatever it says is
// returned, with the verdict that stopped the wait.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "bio_windows.h"
#include "runtime/interrupt.h"

namespace bio::tpm {

// What installs the service; "<python>" stands for the interpreter of the environment
// that biometric_keys is installed in (python -m biometric_keys status prints it whole).
inline constexpr const char* kInstallCommand = "sudo <python> -m biometric_keys install-service";
// Where install-service puts the service's D-Bus activation file.
inline constexpr const char* kActivationFile =
    "/usr/share/dbus-1/system-services/org.biometric.KeyCredentials1.service";

// An argument of a call: t, s, b or ay.
using ServiceArgument = std::variant<std::uint64_t, std::string, bool, std::span<const std::uint8_t>>;

// A reply whose (i code, s text) said the request ran: the rest of it in order, its
// integers, strings and byte arrays apart.
struct ServiceReply {
    std::vector<std::int32_t> numbers;
    std::vector<std::string> strings;
    std::vector<std::vector<std::uint8_t>> arrays;
    WaitVerdict stopped_by = WaitVerdict::Continue;  // not Continue: Cancel was sent
};

enum class Waiting {
    Brief,        // answered without asking anyone: a bounded call, not cancelled
    ForTheUser,   // numbered, as long as the user takes, cancelled when check_wait says stop
};

// Calls `member` with `arguments` (a request ForTheUser gets its number put first) and
// reads the reply's types after "is" as `shape` says ("i", "is", "iay", "iayay"). Fails with
// the reply's code and text when the request did not run; with keyd::kServiceNotReachable
// and what to do when the service is not installed, cannot be started or went away; with
// E_FAIL and the bus's words for any other failure.
Outcome<ServiceReply> call_service(const char* member, std::span<const ServiceArgument> arguments, const char* shape,
                                   Waiting waiting);

// Whether the service is installed for the bus: its activation file is there, or the
// bus lists its name among those it can start.
bool service_installed();

}  // namespace bio::tpm
