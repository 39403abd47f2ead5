// The Windows side of the OS seam: what tests may replace.
#pragma once

#include <windows.h>

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
