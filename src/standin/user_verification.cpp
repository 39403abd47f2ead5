#include "standin/user_verification.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bio_windows.h"
#include "platform_error.h"
#include "runtime/interrupt.h"
#include "standin/unique_fd.h"

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

// Waits `delay`, in short slices so that Ctrl-C ends it early: false when it did.
bool wait_uninterrupted(std::chrono::milliseconds delay) {
    constexpr std::chrono::milliseconds kSlice(20);
    const auto deadline = std::chrono::steady_clock::now() + delay;
    for (;;) {
        if (interrupt_requested()) return false;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        std::this_thread::sleep_for(left < kSlice ? left : std::chrono::steady_clock::duration(kSlice));
    }
}

}  // namespace

VerifySetting parse_verify_setting(const char* value) noexcept {
    if (value == nullptr || *value == '\0' || std::strcmp(value, "allow") == 0) return {};
    if (std::strcmp(value, "prompt") == 0) return {VerifySetting::Prompt, 0};
    if (std::strcmp(value, "deny") == 0) return {VerifySetting::Status, KeyCredentialStatus_UserCanceled};
    if (value[0] >= '1' && value[0] <= '6' && value[1] == '\0') return {VerifySetting::Status, value[0] - '0'};
    return {VerifySetting::Status, KeyCredentialStatus_UnknownError};
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

std::string prompt_text(VerifiedRequest request, std::string_view credential_name) {
    // The name is quoted with its control characters escaped: it comes from the
    // application and must not be able to rewrite the question on the terminal.
    std::string text = "biometric stand-in: allow ";
    text += request == VerifiedRequest::Create ? "creating a credential for " : "signing with ";
    append_quoted(text, credential_name, '\'');
    text += "? [y/N] ";
    return text;
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
        pollfd ready{tty, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0) {
            // Any caught signal ends the poll (a terminal resize, a child's exit): only
            // Ctrl-C cancels; the others wait on until the same deadline.
            if (errno == EINTR && !interrupt_requested()) continue;
            return KeyCredentialStatus_UserCanceled;
        }
        if (polled == 0) continue;
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

std::int32_t verify_user(VerifiedRequest request, std::string_view credential_name) {
    const VerifySetting setting = parse_verify_setting(std::getenv("BIOMETRIC_STANDIN_VERIFY"));
    const std::chrono::milliseconds delay = parse_delay(std::getenv("BIOMETRIC_STANDIN_DELAY_MS"));
    if (delay.count() > 0 && !wait_uninterrupted(delay)) return KeyCredentialStatus_UserCanceled;

    switch (setting.kind) {
        case VerifySetting::Allow: return KeyCredentialStatus_Success;
        case VerifySetting::Status: return setting.status;
        case VerifySetting::Prompt: break;
    }
    // The terminal, never standard input or output: those belong to the application.
    UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty) return KeyCredentialStatus_UserCanceled;
    // A background job that read the terminal would be stopped until it came back to the
    // foreground: it is not asked at all.
    if (::tcgetpgrp(tty.get()) != ::getpgrp()) return KeyCredentialStatus_UserCanceled;
    return ask_on_terminal(tty.get(), prompt_text(request, credential_name), kAnswerTimeoutMs);
}

}  // namespace bio::standin
