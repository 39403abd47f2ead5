// PlatformError values made from the platform's failures on Windows.
#pragma once

#include <string>

#include "platform_error.h"
#include "winrt/abi.h"
#include "winrt/com.h"

namespace bio::winrt {

// The thread's error object for a failed call, owned with the PlatformError.
class WindowsErrorInfo final : public ErrorInfo {
public:
    explicit WindowsErrorInfo(ComPtr<abi::IErrorInfo> info) noexcept : info_(std::move(info)) {}
    // The restricted description, else the description of GetErrorDetails, else
    // GetDescription; trailing whitespace dropped; empty when there is none.
    std::string message() const override;

private:
    ComPtr<abi::IErrorInfo> info_;
};

// From a failed HRESULT (or E_POINTER for a missing object), taking the calling thread's
// error object. Make it right after the failed call, before any other platform call.
PlatformError error_from_failure(HRESULT code) noexcept;

// From GetLastError(): positive values become 0x8007xxxx; no error object.
PlatformError error_from_last_system_error() noexcept;

// Drops trailing tab, line feed, vertical tab, form feed, carriage return and space.
std::size_t trimmed_length(const wchar_t* units, std::size_t count) noexcept;

}  // namespace bio::winrt
