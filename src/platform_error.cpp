#include "platform_error.h"

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

// Decodes one scalar value at `pos`; ill-formed sequences become U+FFFD, consuming the
// maximal ill-formed subsequence.
char32_t decode_utf8(std::string_view s, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    std::size_t need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        ++pos;
        return 0xFFFD;
    }
    ++pos;
    for (std::size_t i = 0; i < need; ++i) {
        if (pos >= s.size() || byte(pos) < lo || byte(pos) > hi) return 0xFFFD;
        cp = (cp << 6) | (byte(pos) & 0x3F);
        ++pos;
        lo = 0x80;
        hi = 0xBF;
    }
    return cp;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

void append_quoted(std::string& out, std::string_view utf8) {
    out += '"';
    for (std::size_t pos = 0; pos < utf8.size();) {
        char32_t c = decode_utf8(utf8, pos);
        switch (c) {
            case U'\\': out += "\\\\"; continue;
            case U'"': out += "\\\""; continue;
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
    out += '"';
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
