// The Windows side of the OS seam: what tests may replace.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/os.h"

namespace bio {

// Where console text goes: the real console by default. Tests substitute a recorder,
// since a real console cannot be inspected (and Wine's mangles astral characters).
struct ConsoleSink {
    // Whether `handle` is a console (GetConsoleMode succeeds).
    bool (*is_console)(HANDLE handle);
    // WriteConsoleW: writes up to `count` units, reports how many were taken.
    BOOL (*write)(HANDLE handle, const wchar_t* units, DWORD count, DWORD* written);
};

// Replaces the console sink; null restores the real console. Returns the previous one.
const ConsoleSink* set_console_sink(const ConsoleSink* sink) noexcept;
// The sink in use.
const ConsoleSink& console_sink() noexcept;

// One write of (a prefix of) `text` to a console through `console`: valid UTF-8 only,
// converted to UTF-16; the start of a sequence cut off by the end of `text` is kept in
// `pending` and completed by the next write.
StderrWrite write_console(HANDLE handle, const ConsoleSink& console, std::string_view text, PendingUtf8& pending);

// The failed write for a Windows error code: "Access is denied. (os error 5)", the
// system's text for the error and then its number.
StderrWrite error_write(std::int32_t code);

// UTF-16 to UTF-8 (WideCharToMultiByte).
std::string narrow(const wchar_t* text, std::size_t count);

// The buffer FormatMessageW allocates for us.
class LocalBuffer {
public:
    LocalBuffer() noexcept = default;
    LocalBuffer(const LocalBuffer&) = delete;
    LocalBuffer& operator=(const LocalBuffer&) = delete;
    ~LocalBuffer() {
        if (raw_ != nullptr) LocalFree(raw_);
    }
    wchar_t* get() const noexcept { return raw_; }
    wchar_t** put() noexcept { return &raw_; }

private:
    wchar_t* raw_ = nullptr;
};

}  // namespace bio
