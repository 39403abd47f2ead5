// The owner window of a prompt: the system functions that convert and find windows, and
// whether the platform has the window-taking interfaces at all. Both are found out at
// run time; where either is missing a prompt simply has no owner (the older call).
#pragma once

#include <atomic>
#include <optional>

#include "bio_windows.h"
#include "winrt/abi.h"
#include "winrt/com.h"

namespace bio::winrt {

// Resolved once, on first use, from the libraries that export them (neither is imported:
// the module loads nothing for them unless an application call needs a window). Null
// where the system has none. Tests may replace them.
struct WindowFunctions {
    abi::GetWindowIdFromWindowFn GetWindowIdFromWindow;  // the windowing API set
    HWND(WINAPI* GetForegroundWindow)();                // user32.dll
};
WindowFunctions& window_functions() noexcept;

// The WindowId of `window`; none when the system cannot convert it (no conversion
// function, a failed conversion, or the null id): a window the platform cannot use.
std::optional<abi::WindowId> window_id(WindowHandle window) noexcept;

// The window that owns the verification prompt: `window`, or the foreground window for
// 0 (null when there is none, or no way to ask).
HWND verification_owner(WindowHandle window) noexcept;

// Whether the objects of one class answer a newer interface. A query that answers
// E_NOINTERFACE settles it for the rest of the process: no later object is asked.
class InterfaceProbe {
public:
    explicit constexpr InterfaceProbe(const GUID& iid) noexcept : iid_(iid) {}
    InterfaceProbe(const InterfaceProbe&) = delete;
    InterfaceProbe& operator=(const InterfaceProbe&) = delete;

    // The interface of `object`, or null: the caller then makes the older call. A failed
    // query is not an error (its error object is dropped).
    template <class U, class T>
    ComPtr<U> find(T* object) noexcept {
        if (absent_.load(std::memory_order_acquire)) return ComPtr<U>();
        HRESULT hr = S_OK;
        ComPtr<U> found = query<U>(object, iid_, &hr);
        if (FAILED(hr)) {
            drop_error(hr);
            if (hr == E_NOINTERFACE) absent_.store(true, std::memory_order_release);
            // A failed query that wrote a pointer anyway is not believed.
            return ComPtr<U>();
        }
        return found;
    }
    bool known_absent() const noexcept { return absent_.load(std::memory_order_acquire); }
    // Asks again from the next object on (for tests, whose doubles change their answer).
    void forget() noexcept { absent_.store(false, std::memory_order_release); }

private:
    static void drop_error(HRESULT hr) noexcept;
    const GUID& iid_;
    std::atomic<bool> absent_{false};
};

// IKeyCredentialManagerCreateWithWindowStatics of KeyCredentialManager's statics, and
// IKeyCredentialWithWindow of a KeyCredential.
InterfaceProbe& create_with_window_probe() noexcept;
InterfaceProbe& sign_with_window_probe() noexcept;

}  // namespace bio::winrt
