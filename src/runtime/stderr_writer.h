// The module's only output path: the process's standard error stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bio {

struct StderrError {
    std::int32_t code = 0;  // OS error code, 0 when `text` says what failed
    std::string text;
    bool missing_stream = false;  // the process has no standard error stream
};

// Writes all bytes through a fresh, unlocked writer; returns the error that stopped it.
std::optional<StderrError> write_stderr_raw(std::string_view bytes) noexcept;

// Writes all bytes through the process-wide writer under its re-entrant lock. A missing
// stream counts as success; any other error is an internal fault.
void write_stderr_locked(std::string_view bytes);

}  // namespace bio
