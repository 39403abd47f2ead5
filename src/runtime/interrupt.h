// Whether the person at the keyboard asked a waiting call to stop (Ctrl-C). The layer that
// knows how to tell (the Python surface) installs the check; the waits below it ask.
#pragma once

namespace bio {

using InterruptCheck = bool (*)() noexcept;

// Installs the check; null removes it.
void set_interrupt_check(InterruptCheck check) noexcept;

// The installed check's answer; false with none installed.
bool interrupt_requested() noexcept;

}  // namespace bio
