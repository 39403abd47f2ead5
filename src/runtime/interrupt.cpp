#include "runtime/interrupt.h"

#include <atomic>

namespace bio {
namespace {

std::atomic<InterruptCheck> g_check{nullptr};
thread_local RequestLimits* t_limits = nullptr;

// Short enough that Ctrl-C ends a wait well within 0.2 s.
constexpr std::chrono::milliseconds kSlice(50);

// The installed check's answer; false with none installed.
bool interrupt_requested() noexcept {
    const InterruptCheck check = g_check.load(std::memory_order_acquire);
    return check != nullptr && check();
}

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { g_check.store(check, std::memory_order_release); }

RequestLimits::RequestLimits(std::optional<std::chrono::steady_clock::time_point> deadline,
                             const std::atomic<bool>* cancelled) noexcept
    : deadline_(deadline), cancelled_(cancelled), outer_(t_limits) {
    t_limits = this;
}

RequestLimits::~RequestLimits() { t_limits = outer_; }

const RequestLimits* current_request_limits() noexcept { return t_limits; }

WaitVerdict check_wait() noexcept {
    RequestLimits* limits = t_limits;
    WaitVerdict verdict = WaitVerdict::Continue;
    if (interrupt_requested()) {
        verdict = WaitVerdict::Interrupted;
    } else if (limits != nullptr && limits->cancelled_ != nullptr &&
               limits->cancelled_->load(std::memory_order_acquire)) {
        verdict = WaitVerdict::Cancelled;
    } else if (limits != nullptr && limits->deadline() &&
               std::chrono::steady_clock::now() >= *limits->deadline()) {
        verdict = WaitVerdict::TimedOut;
    }
    if (limits != nullptr && verdict != WaitVerdict::Continue) limits->verdict_ = verdict;
    return verdict;
}

std::chrono::milliseconds wait_slice() noexcept {
    const RequestLimits* limits = t_limits;
    if (limits == nullptr || !limits->deadline()) return kSlice;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*limits->deadline() - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::chrono::milliseconds(0);
    return left < kSlice ? left : kSlice;
}

}  // namespace bio
