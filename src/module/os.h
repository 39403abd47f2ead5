// What differs by operating system beneath the module surface: one header, one
// implementation file per OS (os_windows.cpp, os_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bio {

// Ends the process at once: no handler, destructor or interpreter shutdown runs.
[[noreturn]] void end_process() noexcept;

// Result of one write to the standard error stream: bytes accepted, or an error.
struct StderrWrite {
    std::size_t accepted = 0;
    std::int32_t error = 0;  // 0: none; else an OS error code (Windows numbering)
    bool interrupted = false;
    std::string error_text;  // set for errors that are not OS codes
};

// Windows' ERROR_INVALID_HANDLE: what a missing standard error stream reports.
inline constexpr std::int32_t kErrorInvalidHandle = 6;

// One write of (a prefix of) `bytes` to the process's standard error stream.
StderrWrite os_write_stderr(std::string_view bytes) noexcept;

}  // namespace bio
