// The console functions of the Windows shim. There is no console: the fuzz target
// installs a sink of its own, and MultiByteToWideChar is a strict UTF-8 decoder.
#include "windows_console.h"

#include "utf8.h"

namespace bio::fuzz {

std::size_t valid_utf8_length(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t start = pos;
        if (next_scalar(bytes, pos) == 0xFFFD && bytes.substr(start, 3) != kReplacement) return start;
    }
    return pos;
}

std::vector<wchar_t> utf16_of(std::string_view utf8) {
    std::vector<wchar_t> units;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t v = next_scalar(utf8, pos);
        if (v > 0xFFFF) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((v - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(v));
        }
    }
    return units;
}

}  // namespace bio::fuzz

extern "C" {
DWORD GetLastError(void) { return 0; }
BOOL GetConsoleMode(HANDLE, DWORD*) { return 0; }
BOOL WriteConsoleW(HANDLE, const void*, DWORD, DWORD*, void*) { return 0; }
DWORD FormatMessageW(DWORD, const void*, DWORD, DWORD, wchar_t*, DWORD, void*) { return 0; }
HLOCAL LocalFree(HLOCAL) { return nullptr; }

int MultiByteToWideChar(UINT32, DWORD, LPCSTR bytes, int count, wchar_t* units, int capacity) {
    const std::string_view text(bytes, static_cast<std::size_t>(count));
    if (bio::fuzz::valid_utf8_length(text) != text.size()) return 0;
    const std::vector<wchar_t> converted = bio::fuzz::utf16_of(text);
    if (converted.size() > static_cast<std::size_t>(capacity)) return 0;
    for (std::size_t i = 0; i < converted.size(); ++i) units[i] = converted[i];
    return static_cast<int>(converted.size());
}
}

namespace bio {
// os_windows.cpp's, for error texts; FormatMessageW above never yields one.
std::string narrow(const wchar_t*, std::size_t) { return {}; }
}  // namespace bio
