// Lenient UTF-16 to UTF-8: any units give well-formed UTF-8, and well-formed UTF-16
// comes back unit for unit through a platform string.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "utf8.h"
#include "winrt/platform_string.h"

using namespace bio::winrt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<wchar_t> units(size / 2);
    bool well_formed = true;
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        const unsigned u = static_cast<std::uint16_t>(units[i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            well_formed = false;
        }
    }
    const std::string text = utf16_to_utf8(units.data(), units.size());
    FUZZ_CHECK(bio::utf8_lossy(text) == text);
    FUZZ_CHECK(text.size() <= 3 * units.size());
    if (!well_formed) return 0;

    HSTRING handle = nullptr;
    FUZZ_CHECK(create_string_block(text, &handle) == 0);
    // Unit by unit: the C library's wide-character functions (and so wstring_view's
    // comparison) assume a 32-bit wchar_t.
    const std::wstring_view back = string_units(handle);
    FUZZ_CHECK(back.size() == units.size());
    for (std::size_t i = 0; i < units.size(); ++i) FUZZ_CHECK(back[i] == units[i]);
    release_string_block(handle);
    return 0;
}
