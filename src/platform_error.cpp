#include "platform_error.h"

#include "utf8.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace bio {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t end;  // one past the last
};

constexpr CodePointRange kEscapedRanges[] = {
#include "unicode_tables.inc"
};

bool escaped_in_debug_text(char32_t c) {
    const auto* it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), c,
                                      [](char32_t v, const CodePointRange& r) { return v < r.first; });
    return it != std::begin(kEscapedRanges) && c < std::prev(it)->end;
}

}  // namespace

void append_quoted(std::string& out, std::string_view utf8, char quote) {
    out += quote;
    for (std::size_t pos = 0; pos < utf8.size();) {
        char32_t c = next_scalar(utf8, pos);
        if (c == static_cast<char32_t>(quote)) {
            out += '\\';
            out += quote;
            continue;
        }
        switch (c) {
            case U'\\': out += "\\\\"; continue;
            case U'\0': out += "\\0"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            default: break;
        }
        if (escaped_in_debug_text(c)) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
            out += hex;
        } else {
            append_utf8(out, c);
        }
    }
    out += quote;
}

std::string PlatformError::message() const {
    if (info_) return info_->message();
    return system_message_text(code());
}

std::string PlatformError::debug_text() const {
    char code[32];
    std::snprintf(code, sizeof code, "HRESULT(0x%08X)", static_cast<unsigned>(this->code()));
    std::string text = "Error { code: ";
    text += code;
    text += ", message: ";
    append_quoted(text, message());
    text += " }";
    return text;
}

}  // namespace bio
