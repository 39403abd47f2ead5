#include "winrt/platform_error_windows.h"

#include "runtime/os_windows.h"
#include "winrt/platform_string.h"

namespace bio::winrt {
namespace {

// The text of a message block: trailing whitespace dropped, decoded leniently.
std::string message_text(const wchar_t* units, std::size_t count) {
    return utf16_to_utf8(units, trimmed_length(units, count));
}

constexpr std::int32_t kNtStatusMark = 0x10000000;

}  // namespace

std::size_t trimmed_length(const wchar_t* units, std::size_t count) noexcept {
    while (count > 0 && ((units[count - 1] >= 0x09 && units[count - 1] <= 0x0D) || units[count - 1] == 0x20)) {
        --count;
    }
    return count;
}

std::string WindowsErrorInfo::message() const {
    Bstr candidate;
    if (ComPtr<abi::IRestrictedErrorInfo> restricted =
            query<abi::IRestrictedErrorInfo>(info_.get(), abi::IID_IRestrictedErrorInfo)) {
        Bstr description, restricted_description, capability_sid;
        HRESULT error = 0;
        (void)restricted->lpVtbl->GetErrorDetails(restricted.get(), out_param(description), &error,
                                                  out_param(restricted_description), out_param(capability_sid));
        // The restricted description is the more specific one when it says anything.
        candidate = SysStringLen(restricted_description.get()) != 0 ? std::move(restricted_description)
                                                                : std::move(description);
    }
    if (SysStringLen(candidate.get()) == 0) (void)info_->lpVtbl->GetDescription(info_.get(), out_param(candidate));
    const UINT length = SysStringLen(candidate.get());  // 0 for the null string too
    if (length == 0) return {};
    return message_text(candidate.get(), length);
}

PlatformError error_from_failure(HRESULT code) noexcept {
    // Taking the object clears it from the thread; its own result says nothing useful.
    abi::IErrorInfo* taken = nullptr;
    (void)GetErrorInfo(0, reinterpret_cast<::IErrorInfo**>(&taken));
    ComPtr<abi::IErrorInfo> info(taken);
    if (!info) return PlatformError(code);
    return PlatformError(code, std::make_unique<WindowsErrorInfo>(std::move(info)));
}

PlatformError error_from_last_system_error() noexcept { return PlatformError(hresult_from_win32(GetLastError())); }

}  // namespace bio::winrt

namespace bio {

std::string system_message_text(std::int32_t code) {
    auto id = static_cast<DWORD>(code);
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    HMODULE source = nullptr;
    if ((code & winrt::kNtStatusMark) != 0) {
        // An HRESULT made from an NT status: ntdll's table has the text under the status.
        id &= ~static_cast<DWORD>(winrt::kNtStatusMark);
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
        // Stays loaded for the rest of the process.
        source = LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    LocalBuffer buffer;
    const DWORD count = FormatMessageW(flags, source, id, 0, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
    if (count == 0 || buffer.get() == nullptr) return {};
    return winrt::message_text(buffer.get(), count);
}

}  // namespace bio
