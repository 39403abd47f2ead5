// UTF-8 decoding and encoding shared by the message texts, the platform strings and the
// module's text of Python objects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bio {

// Decodes the scalar value at `pos` and advances past it. An ill-formed sequence yields
// U+FFFD and advances past its maximal ill-formed subpart (the Unicode Standard's
// practice for substitution), so each replacement stands for at least one byte.
char32_t next_scalar(std::string_view utf8, std::size_t& pos) noexcept;

void append_utf8(std::string& out, char32_t scalar);

// `bytes` with every ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace bio
