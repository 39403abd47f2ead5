// The report an internal fault writes to standard error when it is raised.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/fault.h"

namespace bio {

// The one setting the module reads from the environment, once per process.
inline constexpr const char* kBacktraceVariable = "BIOMETRIC_BACKTRACE";

enum class BacktraceStyle : std::uint8_t { Off, Short, Full };

// The style of a report: Full while another fault of this thread is unwinding, else the
// process-wide style read from kBacktraceVariable on first use: unset or "0" is Off,
// "full" is Full, anything else Short.
BacktraceStyle report_style(std::uint32_t thread_faults) noexcept;

// "src/bio_windows.cpp:69:72"
std::string format_location(const FaultLocation& location);

// Writes "thread '<unnamed>' panicked at {location}:\n{message}\n" and then the note
// (first report of the process only) or the backtrace, as the style asks, under the
// report lock. `thread_faults` counts this thread's faults in progress, the new one
// included. Errors of the writes are ignored: a report that cannot be written is lost.
void write_fault_report(const FaultPayload& payload, const FaultLocation& location,
                        std::uint32_t thread_faults) noexcept;

}  // namespace bio
