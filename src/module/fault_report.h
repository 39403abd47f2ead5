// The report an internal fault writes to standard error when it is raised.
#pragma once

#include <cstdint>
#include <string>

#include "module/fault.h"

namespace bio {

// "src/bio_windows.cpp:69:72"
std::string format_location(const FaultLocation& location);

// Writes "thread '<unnamed>' panicked at {location}:\n{message}\n" and then the note or
// the backtrace, as the backtrace style asks. `thread_faults` is the number of faults
// of this thread in progress, the new one included. Errors of the writes are ignored.
void write_fault_report(const FaultPayload& payload, const FaultLocation& location,
                        std::uint32_t thread_faults) noexcept;

}  // namespace bio
