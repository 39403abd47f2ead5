// PlatformError: the value of a failed platform call.
//
// A non-zero HRESULT, plus optional error information owned by the value. The stored
// marker EMPTY_ERROR_CODE stands for an error that carries no code (a call that
// succeeded but yielded no object); code() reads it as 0.
//
// Where the message text comes from is per platform: on Windows the error information
// is the thread's IErrorInfo and the fallback is the system message table; elsewhere a
// platform attaches its own text, and the fallback is system_message_text().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace bio {

inline constexpr std::int32_t EMPTY_ERROR_CODE = 0x535F4F4B;  // "S_OK" read big-endian
inline constexpr std::int32_t E_POINTER_CODE = static_cast<std::int32_t>(0x80004003u);
inline constexpr std::int32_t E_NOTIMPL_CODE = static_cast<std::int32_t>(0x80004001u);
inline constexpr std::int32_t E_INVALIDARG_CODE = static_cast<std::int32_t>(0x80070057u);

// A Win32 error as the platform's HRESULT: a positive value becomes 0x8007xxxx from its
// low 16 bits; 0 and values already negative stay as they are.
constexpr std::int32_t hresult_from_win32(std::uint32_t error) noexcept {
    const auto value = static_cast<std::int32_t>(error);
    return value > 0 ? static_cast<std::int32_t>(0x80070000u | (error & 0xFFFFu)) : value;
}

// Error information attached to a PlatformError; released exactly once with it.
class ErrorInfo {
public:
    virtual ~ErrorInfo() = default;
    virtual std::string message() const = 0;
};

// Error information that is just a text.
class TextErrorInfo final : public ErrorInfo {
public:
    explicit TextErrorInfo(std::string text) : text_(std::move(text)) {}
    std::string message() const override { return text_; }

private:
    std::string text_;
};

class PlatformError {
public:
    // The empty error: no code, no information.
    PlatformError() noexcept = default;

    // From a failure code, with the information the platform attached to it (if any).
    // A code of 0 is stored as EMPTY_ERROR_CODE.
    explicit PlatformError(std::int32_t code, std::unique_ptr<ErrorInfo> info = nullptr) noexcept
        : code_(code == 0 ? EMPTY_ERROR_CODE : code), info_(std::move(info)) {}

    static PlatformError empty() noexcept { return PlatformError(); }
    static PlatformError with_text(std::int32_t code, std::string text) {
        return PlatformError(code, std::make_unique<TextErrorInfo>(std::move(text)));
    }

    PlatformError(PlatformError&&) noexcept = default;
    PlatformError& operator=(PlatformError&&) noexcept = default;
    PlatformError(const PlatformError&) = delete;
    PlatformError& operator=(const PlatformError&) = delete;

    std::int32_t code() const noexcept { return code_ == EMPTY_ERROR_CODE ? 0 : code_; }
    std::int32_t stored_code() const noexcept { return code_; }
    const ErrorInfo* info() const noexcept { return info_.get(); }

    // The information's text when there is information, else the system text for code().
    std::string message() const;

    // Error { code: HRESULT(0x80070005), message: "Access is denied." }
    std::string debug_text() const;

private:
    std::int32_t code_ = EMPTY_ERROR_CODE;
    std::unique_ptr<ErrorInfo> info_;
};

// The system's message text for a code without information: FormatMessageW on
// Windows; elsewhere there is no system table and the text is empty.
std::string system_message_text(std::int32_t code);

// Appends text in the quoted form of the debug text: "...", with \\, \", \0, \t, \r,
// \n, and \u{h} for Grapheme_Extend and non-printable characters. Ill-formed UTF-8
// bytes are shown as U+FFFD. With `quote` '\'', the text is in single quotes and \'
// is escaped instead of \".
void append_quoted(std::string& out, std::string_view utf8, char quote = '"');

}  // namespace bio
