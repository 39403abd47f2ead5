// The console writer's state machine for UTF-8 sequences cut between writes, through its
// replaceable sink: the text arrives in arbitrary pieces and the sink takes arbitrary
// numbers of units. Well-formed text reaches the console unit for unit; a sequence cut
// off at the very end stays pending; anything else fails after exactly the well-formed
// prefix has been written.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "runtime/os_windows.h"
#include "windows_console.h"

namespace {

std::vector<wchar_t> g_console;  // what the sink took
std::uint32_t g_seed = 0;        // decides how much the sink takes

bool is_console(HANDLE) { return true; }

BOOL take_some(HANDLE, const wchar_t* units, DWORD count, DWORD* written) {
    g_seed = g_seed * 1103515245u + 12345u;
    // Mostly everything, sometimes only part of it.
    const DWORD taken = (g_seed >> 16) % 4 == 0 ? 1 + (g_seed >> 18) % count : count;
    g_console.insert(g_console.end(), units, units + taken);
    *written = taken;
    return 1;
}

constexpr bio::ConsoleSink kSink{&is_console, &take_some};

// Whether `tail` is the start of a sequence that its lead announces to be longer.
bool cut_short(std::string_view tail) {
    const auto lead = static_cast<unsigned char>(tail[0]);
    const std::size_t announced = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3
                                  : lead >= 0xC2 && lead <= 0xDF ? 2 : 1;
    if (announced == 1 || tail.size() >= announced) return false;
    for (std::size_t i = 1; i < tail.size(); ++i) {
        if ((static_cast<unsigned char>(tail[i]) & 0xC0) != 0x80) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    g_seed = data[0];
    const std::size_t cuts = data[1] % 8;
    if (size < 2 + cuts) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 0; i < cuts; ++i) bounds.push_back(text.empty() ? 0 : data[2 + i] % (text.size() + 1));
    bounds.push_back(text.size());
    std::sort(bounds.begin(), bounds.end());

    g_console.clear();
    bio::PendingUtf8 pending;
    bool failed = false;
    for (std::size_t piece = 0; piece + 1 < bounds.size() && !failed; ++piece) {
        std::string_view rest = text.substr(bounds[piece], bounds[piece + 1] - bounds[piece]);
        while (!rest.empty()) {
            bio::StderrWrite w = bio::write_console(nullptr, kSink, rest, pending);
            if (w.error != 0 || !w.error_text.empty()) {
                failed = true;
                break;
            }
            FUZZ_CHECK(w.accepted >= 1 && w.accepted <= rest.size());
            rest.remove_prefix(w.accepted);
        }
    }

    const std::size_t valid = bio::fuzz::valid_utf8_length(text);
    FUZZ_CHECK(g_console == bio::fuzz::utf16_of(text.substr(0, valid)));
    if (valid == text.size()) {
        FUZZ_CHECK(!failed && pending.count == 0);
    } else if (cut_short(text.substr(valid))) {
        FUZZ_CHECK(!failed && pending.count == text.size() - valid);
    } else {
        FUZZ_CHECK(failed);
    }
    return 0;
}
