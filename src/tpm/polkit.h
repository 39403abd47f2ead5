// The user's verification through polkit: CheckAuthorization of an action for this
// process, on the system bus, through libsystemd's sd-bus (loaded at run time). polkit
// asks the user through the authentication agent that serves the process; where none
// does and the process has a terminal, polkit's text agent is started on it for the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bio_windows.h"
#include "platform_error.h"

namespace bio::tpm {

// The codes of a verification that could not be made.
// libsystemd.so.0 (or one of its sd-bus functions) is missing: ERROR_MOD_NOT_FOUND.
inline constexpr std::int32_t kPolkitNoLibraryCode = hresult_from_win32(126);
// No system bus, or no polkit on it: ERROR_SERVICE_NOT_ACTIVE.
inline constexpr std::int32_t kPolkitNoServiceCode = hresult_from_win32(1062);
// polkit does not know the action (its policy file is not installed): ERROR_NOT_FOUND.
inline constexpr std::int32_t kPolkitNoActionCode = hresult_from_win32(1168);
// An action id polkit cannot be asked about (empty, or with a NUL): E_INVALIDARG.
inline constexpr std::int32_t kPolkitBadActionCode = static_cast<std::int32_t>(0x80070057u);
// Any other failure of the bus or of polkit, with its D-Bus error: E_FAIL.
inline constexpr std::int32_t kPolkitFailedCode = static_cast<std::int32_t>(0x80004005u);

// What polkit would answer this process for an action without asking anyone.
enum class ActionProbe {
    NoLibrary,     // no libsystemd.so.0
    NoBus,         // no system bus, or no polkit on it
    NotInstalled,  // polkit does not know the action
    Yes,           // allowed without asking (root, or a rule)
    No,            // refused whatever the user does
    Challenge,     // the user would be asked
};

struct ActionProbeResult {
    ActionProbe answer;
    std::string detail;  // what the library, the bus or polkit said, for a message
};

ActionProbeResult probe_action(std::string_view action_id);

enum class Verification {
    Verified,     // polkit authorized the action: the user proved who they are
    Refused,      // not authorized: a failed or dismissed authentication, or a rule
    NoAgent,      // nobody can ask the user: no agent, and no terminal for the text agent
    Interrupted,  // the wait was stopped by Ctrl-C (WaitVerdict::Interrupted)
    Cancelled,    // ... by the program's cancellation (WaitVerdict::Cancelled)
    TimedOut,     // ... by the request's deadline (WaitVerdict::TimedOut)
};

// Asks polkit to authorize action_id for this process, the user being asked by an agent.
// Waits as long as the user takes, asking check_wait() every 50 ms at most; when it says
// stop, the check is cancelled and its verdict returned (even if polkit authorized it
// meanwhile: a verification changes nothing, and the caller decides before its commit).
// Opens its own bus connection and closes it before it returns, so it may be called from
// any thread. Errors carry the kPolkit* codes.
Outcome<Verification> verify_user(std::string_view action_id);

// Where the system bus is: the variable, else the standard socket.
inline constexpr const char* kSystemBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
inline constexpr const char* kSystemBusDefault = "unix:path=/run/dbus/system_bus_socket";

}  // namespace bio::tpm
