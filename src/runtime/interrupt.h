// Whether a wait beneath a call must stop: the person at the keyboard asked it to (Ctrl-C),
// the program did (a cancellation flag it set from any thread), or the call's time is up. The layer that knows how to tell about Ctrl-C (the Python
// surface) installs the check; a call that has a time limit installs its RequestLimits;
// the waits below ask check_wait between short slices.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

namespace bio {

using InterruptCheck = bool (*)() noexcept;

// Installs the check; null removes it.
void set_interrupt_check(InterruptCheck check) noexcept;

enum class WaitVerdict { Continue, Interrupted, Cancelled, TimedOut };

// The limits of the request the calling thread makes while this lives: a deadline (none:
// as long as the platform takes), and a flag that the program may set from any thread to
// cancel it (none: only Ctrl-C and the deadline). Records what ended a wait beneath it.
class RequestLimits {
public:
    explicit RequestLimits(std::optional<std::chrono::steady_clock::time_point> deadline,
                           const std::atomic<bool>* cancelled = nullptr) noexcept;
    ~RequestLimits();
    RequestLimits(const RequestLimits&) = delete;
    RequestLimits& operator=(const RequestLimits&) = delete;

    // Continue when no wait was ended early.
    WaitVerdict verdict() const noexcept { return verdict_; }
    const std::optional<std::chrono::steady_clock::time_point>& deadline() const noexcept { return deadline_; }

private:
    friend WaitVerdict check_wait() noexcept;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    const std::atomic<bool>* cancelled_;
    WaitVerdict verdict_ = WaitVerdict::Continue;
    RequestLimits* outer_;
};

// The calling thread's innermost RequestLimits, or null: waits that the calls of biometric
// make (no limits) are never ended early by the platform.
const RequestLimits* current_request_limits() noexcept;

// For a wait beneath a request, between its slices: Continue, or why it must stop now
// (Ctrl-C, the program's cancellation, or the deadline of the thread's RequestLimits,
// which records it).
WaitVerdict check_wait() noexcept;

// The longest a wait blocks before it asks check_wait again, and no longer than the time
// left before the deadline.
std::chrono::milliseconds wait_slice() noexcept;

}  // namespace bio
