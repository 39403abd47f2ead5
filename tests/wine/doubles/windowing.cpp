// The windowing API set's GetWindowIdFromWindow, for a system (Wine) that has none: the
// harness installs this library under the API set's name in system32.
#include "doubles.h"
#include "winrt/abi.h"

extern "C" __declspec(dllexport) HRESULT WINAPI GetWindowIdFromWindow(HWND window, bio::abi::WindowId* id) {
    const auto value = static_cast<UINT64>(reinterpret_cast<UINT_PTR>(window));
    if (value == bio::doubles::kUnusableWindow) {
        id->Value = 0;
        return E_INVALIDARG;
    }
    id->Value = bio::doubles::window_id_of(value);
    return S_OK;
}
