// The stand-in's simulated user: what the person at the keyboard would do at the
// platform's verification prompt, chosen by the environment at each request that shows
// one on Windows (creating a credential and signing; opening shows none), so that an
// application can reproduce every outcome on a machine without the platform.
//
// BIOMETRIC_STANDIN_VERIFY:
//   unset, empty or "allow"  no one is asked; the request goes ahead
//   "deny"                   the user cancels: UserCanceled
//   "prompt"                 the controlling terminal asks; "y" or "yes" (any case) goes
//                            ahead, anything else, no terminal, a terminal this process
//                            may not read now (background job), or no answer within
//                            kAnswerTimeoutMs (counted from the question, whatever
//                            signals arrive meanwhile) or Ctrl-C is UserCanceled
//   "1" to "6"               that KeyCredentialStatus
//   anything else            UnknownError
// BIOMETRIC_STANDIN_DELAY_MS: the request waits that many milliseconds before the
// outcome (any outcome); a non-negative decimal integer, at most kMaxDelayMs (larger
// values are kMaxDelayMs); anything else is 0. Ctrl-C during the wait ends it with
// UserCanceled.
//
// For a plain verification of the user (verify_user), "allow" is Verified, "deny" and a
// refused prompt Canceled, "1" to "6" that UserConsentVerificationResult, anything else a
// failure with code 1. It asks no one, and reports the availability instead, while
// BIOMETRIC_STANDIN_AVAILABILITY (unset, empty or "available", "device_not_present",
// "not_configured_for_user", "disabled_by_policy", "device_busy"; anything else is
// E_INVALIDARG) says the user cannot be verified now.
//
// All are read at every request, so a test can change them between two calls. The waits
// end early at Ctrl-C and at the deadline of the request (runtime/interrupt.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "bio_windows.h"

namespace bio::standin {

inline constexpr const char* kVerifyVariable = "BIOMETRIC_STANDIN_VERIFY";
inline constexpr const char* kDelayVariable = "BIOMETRIC_STANDIN_DELAY_MS";
inline constexpr const char* kAvailabilityVariable = "BIOMETRIC_STANDIN_AVAILABILITY";

inline constexpr std::uint32_t kMaxDelayMs = 60'000;
inline constexpr int kAnswerTimeoutMs = 60'000;

enum class VerifiedRequest { Create, Sign, Verify };

struct VerifySetting {
    enum Kind { Allow, Deny, Prompt, Status } kind = Allow;
    std::int32_t status = 0;  // Status: the KeyCredentialStatus the request ends with
    bool known = true;        // false for a value the table does not name (Status 1)
};

// The setting that a value of BIOMETRIC_STANDIN_VERIFY names; null is unset.
VerifySetting parse_verify_setting(const char* value) noexcept;

// The wait that a value of BIOMETRIC_STANDIN_DELAY_MS names; null is unset.
std::chrono::milliseconds parse_delay(const char* value) noexcept;

// The question the prompt asks, one line without its line feed: about the credential
// `text`, or showing the message `text` of a plain verification.
std::string prompt_text(VerifiedRequest request, std::string_view text);

// Asks `question` on the terminal open at `tty` and waits at most `timeout_ms` for an
// answer line: KeyCredentialStatus_Success for yes, UserCanceled otherwise.
std::int32_t ask_on_terminal(int tty, const std::string& question, int timeout_ms);

// The simulated user's answer to `request` on the credential `credential_name`, after the
// configured delay: KeyCredentialStatus_Success to go ahead, else the status the request
// ends with.
std::int32_t verify_user(VerifiedRequest request, std::string_view credential_name);

// The UserConsentVerifierAvailability that a value of BIOMETRIC_STANDIN_AVAILABILITY
// names; null is unset.
Outcome<std::int32_t> parse_availability(const char* value);

// The availability of the simulated user's verification now.
Outcome<std::int32_t> check_availability();

// The simulated user's answer to a plain verification showing `message`: a
// UserConsentVerificationResult.
Outcome<std::int32_t> verify_consent(std::string_view message);

}  // namespace bio::standin
