#include "runtime/interrupt.h"

#include <atomic>

namespace bio {
namespace {

std::atomic<InterruptCheck> g_check{nullptr};

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { g_check.store(check, std::memory_order_release); }

bool interrupt_requested() noexcept {
    const InterruptCheck check = g_check.load(std::memory_order_acquire);
    return check != nullptr && check();
}

}  // namespace bio
