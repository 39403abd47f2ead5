#include "winrt/owner_window.h"

#include <cstdint>

#include "winrt/platform_error_windows.h"

namespace bio::winrt {
namespace {

// `name` of the system library `file`, which stays loaded for the rest of the process
// once the name was found in it; null when either is missing.
template <class Function>
Function resolve(const wchar_t* file, const char* name) noexcept {
    HMODULE library = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

}  // namespace

WindowFunctions& window_functions() noexcept {
    // windows.ui.interop.h names the API set; the library behind it is not documented, so
    // nothing but the name is assumed.
    static WindowFunctions functions{
        resolve<abi::GetWindowIdFromWindowFn>(L"ext-ms-win-windowing-external-l1-1-0.dll", "GetWindowIdFromWindow"),
        resolve<HWND(WINAPI*)()>(L"user32.dll", "GetForegroundWindow"),
    };
    return functions;
}

std::optional<abi::WindowId> window_id(WindowHandle window) noexcept {
    const abi::GetWindowIdFromWindowFn convert = window_functions().GetWindowIdFromWindow;
    if (convert == nullptr || window == 0) return std::nullopt;
    abi::WindowId id{0};
    const HRESULT hr = convert(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)), &id);
    if (FAILED(hr)) {
        (void)error_from_failure(hr);
        return std::nullopt;
    }
    if (id.Value == 0) return std::nullopt;
    return id;
}

HWND verification_owner(WindowHandle window) noexcept {
    if (window != 0) return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
    const auto foreground = window_functions().GetForegroundWindow;
    return foreground != nullptr ? foreground() : nullptr;
}

void InterfaceProbe::drop_error(HRESULT hr) noexcept { (void)error_from_failure(hr); }

InterfaceProbe& create_with_window_probe() noexcept {
    static InterfaceProbe probe(abi::IID_IKeyCredentialManagerCreateWithWindowStatics);
    return probe;
}

InterfaceProbe& sign_with_window_probe() noexcept {
    static InterfaceProbe probe(abi::IID_IKeyCredentialWithWindow);
    return probe;
}

}  // namespace bio::winrt
