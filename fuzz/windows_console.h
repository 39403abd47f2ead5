// UTF-8 helpers of the console shim, shared with the console fuzz target.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace bio::fuzz {

// The length of the longest prefix of `bytes` that is well-formed UTF-8.
std::size_t valid_utf8_length(std::string_view bytes);

// Well-formed UTF-8 as UTF-16 units.
std::vector<wchar_t> utf16_of(std::string_view utf8);

}  // namespace bio::fuzz
