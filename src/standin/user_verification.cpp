#include "standin/user_verification.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

#include "bio_windows.h"
#include "platform_error.h"
#include "runtime/environment.h"
#include "runtime/interrupt.h"
#include "local/unique_fd.h"

namespace bio::standin {
namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool is_yes(std::string_view answer) {
    while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) answer.remove_prefix(1);
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t' || answer.back() == '\r')) {
        answer.remove_suffix(1);
    }
    std::string lower(answer);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower == "y" || lower == "yes";
}

// Waits `delay`, in short slices so that Ctrl-C or the request's deadline ends it early:
// false when one did.
bool wait_uninterrupted(std::chrono::milliseconds delay) {
    const auto deadline = std::chrono::steady_clock::now() + delay;
    for (;;) {
        if (check_wait() != WaitVerdict::Continue) return false;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        const std::chrono::steady_clock::duration slice = wait_slice();
        std::this_thread::sleep_for(left < slice ? left : slice);
    }
}

constexpr std::int32_t kE_INVALIDARG = static_cast<std::int32_t>(0x80070057u);

// The request's reading of a variable (runtime/environment.h), as the parsers take it.
struct Setting {
    explicit Setting(const char* name) : value(request_variable(name)) {}
    const char* get() const noexcept { return value ? value->c_str() : nullptr; }
    std::optional<std::string> value;
};

}  // namespace

VerifySetting parse_verify_setting(const char* value) noexcept {
    if (value == nullptr || *value == '\0' || std::strcmp(value, "allow") == 0) return {};
    if (std::strcmp(value, "prompt") == 0) return {VerifySetting::Prompt, 0};
    if (std::strcmp(value, "deny") == 0) return {VerifySetting::Deny, KeyCredentialStatus_UserCanceled};
    if (value[0] >= '1' && value[0] <= '6' && value[1] == '\0') return {VerifySetting::Status, value[0] - '0'};
    return {VerifySetting::Status, KeyCredentialStatus_UnknownError, false};
}

std::chrono::milliseconds parse_delay(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return std::chrono::milliseconds(0);
    std::uint32_t ms = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::chrono::milliseconds(0);
        // Once past the maximum the value stays there, however many digits follow.
        if (ms <= kMaxDelayMs) ms = ms * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    return std::chrono::milliseconds(ms < kMaxDelayMs ? ms : kMaxDelayMs);
}

std::string prompt_text(VerifiedRequest request, std::string_view text) {
    // The name or message is quoted with its control characters escaped: it comes from the
    // application and must not be able to rewrite the question on the terminal.
    std::string question = "biometric stand-in: ";
    switch (request) {
        case VerifiedRequest::Create: question += "allow creating a credential for "; break;
        case VerifiedRequest::Sign: question += "allow signing with "; break;
        case VerifiedRequest::Verify: question += "verify the user for "; break;
    }
    append_quoted(question, text, '\'');
    question += "? [y/N] ";
    return question;
}

std::int32_t ask_on_terminal(int tty, const std::string& question, int timeout_ms) {
    // Keys typed before the question was shown do not answer it.
    ::tcflush(tty, TCIFLUSH);
    if (!write_all(tty, question)) return KeyCredentialStatus_UserCanceled;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            write_all(tty, "\n");  // what follows starts on a line of its own
            return KeyCredentialStatus_UserCanceled;
        }
        // In slices, so that Ctrl-C (which another thread may have received) and the
        // request's deadline are seen in time.
        const auto slice = std::min(left, wait_slice());
        pollfd ready{tty, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(slice.count()));
        // Any caught signal ends the poll (a terminal resize, a child's exit): only Ctrl-C
        // cancels; the others wait on until the same deadline.
        if (polled < 0 && errno != EINTR) return KeyCredentialStatus_UserCanceled;
        if (check_wait() != WaitVerdict::Continue) return KeyCredentialStatus_UserCanceled;
        if (polled <= 0) continue;
        char chunk[64];
        const ssize_t got = ::read(tty, chunk, sizeof chunk);
        if (got <= 0) return KeyCredentialStatus_UserCanceled;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n' || chunk[i] == '\r') return is_yes(line) ? KeyCredentialStatus_Success
                                                                          : KeyCredentialStatus_UserCanceled;
            // No answer is this long; nor will it become one.
            if (line.size() == 16) return KeyCredentialStatus_UserCanceled;
            line += chunk[i];
        }
    }
}

namespace {

// Asks on the controlling terminal: Success or UserCanceled.
std::int32_t ask_user(VerifiedRequest request, std::string_view text) {
    // The terminal, never standard input or output: those belong to the application.
    local::UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty) return KeyCredentialStatus_UserCanceled;
    // A background job that read the terminal would be stopped until it came back to the
    // foreground: it is not asked at all.
    if (::tcgetpgrp(tty.get()) != ::getpgrp()) return KeyCredentialStatus_UserCanceled;
    return ask_on_terminal(tty.get(), prompt_text(request, text), kAnswerTimeoutMs);
}

// The configured delay before the outcome: false when Ctrl-C or the deadline ended it.
bool wait_configured_delay() {
    const std::chrono::milliseconds delay = parse_delay(Setting(kDelayVariable).get());
    return delay.count() == 0 || wait_uninterrupted(delay);
}

}  // namespace

std::int32_t verify_user(VerifiedRequest request, std::string_view credential_name) {
    const VerifySetting setting = parse_verify_setting(Setting(kVerifyVariable).get());
    if (!wait_configured_delay()) return KeyCredentialStatus_UserCanceled;

    switch (setting.kind) {
        case VerifySetting::Allow: return KeyCredentialStatus_Success;
        case VerifySetting::Deny: return KeyCredentialStatus_UserCanceled;
        case VerifySetting::Status: return setting.status;
        case VerifySetting::Prompt: break;
    }
    return ask_user(request, credential_name);
}

Outcome<std::int32_t> parse_availability(const char* value) {
    if (value == nullptr || *value == '\0') return UserConsent_Available;
    static constexpr std::pair<std::string_view, std::int32_t> kNames[] = {
        {"available", UserConsent_Available},
        {"device_not_present", UserConsent_DeviceNotPresent},
        {"not_configured_for_user", UserConsent_NotConfiguredForUser},
        {"disabled_by_policy", UserConsent_DisabledByPolicy},
        {"device_busy", UserConsent_DeviceBusy},
    };
    for (const auto& [name, availability] : kNames) {
        if (name == value) return availability;
    }
    return PlatformError::with_text(kE_INVALIDARG, "unknown BIOMETRIC_STANDIN_AVAILABILITY");
}

Outcome<std::int32_t> check_availability() { return parse_availability(Setting(kAvailabilityVariable).get()); }

Outcome<std::int32_t> verify_consent(std::string_view message) {
    Outcome<std::int32_t> availability = check_availability();
    if (!availability.ok() || availability.value() != UserConsent_Available) return availability;
    const VerifySetting setting = parse_verify_setting(Setting(kVerifyVariable).get());
    if (!wait_configured_delay()) return UserConsent_Canceled;
    switch (setting.kind) {
        case VerifySetting::Allow: return UserConsent_Available;  // Verified
        case VerifySetting::Deny: return UserConsent_Canceled;
        case VerifySetting::Status:
            if (!setting.known) {
                return PlatformError::with_text(KeyCredentialStatus_UnknownError, "unknown BIOMETRIC_STANDIN_VERIFY");
            }
            return setting.status;
        case VerifySetting::Prompt: break;
    }
    return ask_user(VerifiedRequest::Verify, message) == KeyCredentialStatus_Success ? UserConsent_Available
                                                                                    : UserConsent_Canceled;
}

}  // namespace bio::standin
