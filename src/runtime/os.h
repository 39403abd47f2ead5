// What differs by operating system beneath the module surface: one header, one
// implementation file per OS (os_windows.cpp, os_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bio {

// Ends the process at once: no handler, destructor or interpreter shutdown runs
// (abort() on POSIX, __fastfail(FAST_FAIL_FATAL_APP_EXIT) on Windows).
[[noreturn]] void end_process() noexcept;

// Windows' ERROR_INVALID_HANDLE: what a missing standard error stream reports.
inline constexpr std::int32_t kErrorInvalidHandle = 6;

// The start of a UTF-8 sequence that a console write could not complete; carried over
// to the next write by the writer that owns it.
struct PendingUtf8 {
    std::uint8_t bytes[4] = {};
    std::uint8_t count = 0;
};

// Result of one write to the standard error stream: bytes accepted, or an error.
struct StderrWrite {
    std::size_t accepted = 0;
    std::int32_t error = 0;  // 0: none; else an OS error code (Windows numbering on Windows)
    bool interrupted = false;
    bool missing_stream = false;  // no stream, or a closed one (ERROR_INVALID_HANDLE on Windows)
    std::string error_text;       // the error's text, when there is an error
};

// One write of (a prefix of) `bytes` to the process's standard error stream, looked up
// anew on every call. A missing or closed stream is kErrorInvalidHandle, marked missing.
StderrWrite os_write_stderr(std::string_view bytes, PendingUtf8& pending) noexcept;

// One name a stack frame resolves to (several when calls were inlined).
struct FrameSymbol {
    std::string name;  // demangled; empty when unknown
    std::string file;  // empty when the source position is unknown
    std::uint32_t line = 0;
    std::uint32_t column = 0;  // 0 when unknown
};

struct StackFrame {
    std::uintptr_t address = 0;
    std::vector<FrameSymbol> symbols;  // empty when the frame has no name
};

// Walks the calling thread's stack from the innermost frame outwards, resolving each
// frame, until `visit` returns false or the stack ends. The caller holds the report lock.
void walk_stack(const std::function<bool(const StackFrame&)>& visit);

// The value of the environment variable `name` (ASCII) as the process has it now, or
// nothing when it is not set. On Windows that is the process environment, which Python's
// os.environ writes, not the C runtime's copy taken when the module was loaded.
std::optional<std::string> environment_variable(const char* name);

// The current directory, for showing source paths relative to it; empty if unknown.
std::string current_directory();

}  // namespace bio
