// Activation factories, obtained by class name and cached per class when agile.
#pragma once

#include <atomic>
#include <string_view>
#include <utility>

#include "bio_windows.h"
#include "winrt/abi.h"
#include "winrt/com.h"
#include "winrt/platform_error_windows.h"

namespace bio::winrt {

// A new reference to `class_name`'s factory for `iid`: from the platform's registry, with
// one retry after joining the multithreaded apartment, else from the class's own library
// (Windows.Security.Credentials.dll, Windows.Security.dll, Windows.dll, ...).
Outcome<ComPtr<abi::IUnknown>> resolve_factory(std::string_view class_name, const GUID& iid);

// The generic factory that `file_name`'s DllGetActivationFactory gives for `class_name`.
Outcome<ComPtr<abi::IActivationFactory>> load_factory_from_library(const char* file_name, HSTRING class_name);

// One process-wide cell per runtime class. Once filled it owns one reference to the
// class's statics for the rest of the process; it is never emptied.
template <class Statics>
class FactoryCache {
public:
    constexpr FactoryCache(std::string_view class_name, const GUID& iid) noexcept
        : class_name_(class_name), iid_(iid) {}
    FactoryCache(const FactoryCache&) = delete;
    FactoryCache& operator=(const FactoryCache&) = delete;

    // Runs `method(Statics*)` once on the factory, or returns the resolution's error.
    template <class Method>
    auto call(Method&& method) -> decltype(method(static_cast<Statics*>(nullptr))) {
        for (;;) {
            if (Statics* cached = cell_.load(std::memory_order_acquire)) return method(cached);

            Outcome<ComPtr<abi::IUnknown>> resolved = resolve_factory(class_name_, iid_);
            if (!resolved.ok()) return std::move(resolved.error());
            ComPtr<Statics> factory(reinterpret_cast<Statics*>(resolved.value().release()));

            if (!is_agile(factory.get())) {
                // Usable on this thread only: serves this one call.
                return method(factory.get());
            }
            Statics* expected = nullptr;
            if (cell_.compare_exchange_strong(expected, factory.get(), std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                (void)factory.release();  // the cell owns it now
            }
            // Otherwise another thread stored its factory first; ours is released here.
        }
    }

    // Whether the cell holds a factory (for tests).
    Statics* cached() const noexcept { return cell_.load(std::memory_order_acquire); }

private:
    static bool is_agile(Statics* factory) noexcept {
        HRESULT hr = S_OK;
        ComPtr<abi::IAgileObject> agile = query<abi::IAgileObject>(factory, abi::IID_IAgileObject, &hr);
        // A failed or empty answer only means "not agile"; the error is dropped at once.
        // A failed query is not agile even if it wrote a pointer (released here).
        if (FAILED(hr)) {
            (void)error_from_failure(hr);
            return false;
        }
        if (!agile) (void)error_from_failure(E_POINTER);
        return static_cast<bool>(agile);
    }

    std::string_view class_name_;
    const GUID& iid_;
    std::atomic<Statics*> cell_{nullptr};
};

inline constexpr std::string_view kKeyCredentialManagerClass = "Windows.Security.Credentials.KeyCredentialManager";
inline constexpr std::string_view kCryptographicBufferClass = "Windows.Security.Cryptography.CryptographicBuffer";
inline constexpr std::string_view kUserConsentVerifierClass = "Windows.Security.Credentials.UI.UserConsentVerifier";

// The two cells of the key-credential operations.
FactoryCache<abi::IKeyCredentialManagerStatics>& key_credential_manager_cell() noexcept;
FactoryCache<abi::ICryptographicBufferStatics>& cryptographic_buffer_cell() noexcept;
// UserConsentVerifier's factory, as its statics and as its interop interface (the one
// desktop programs verify through).
FactoryCache<abi::IUserConsentVerifierStatics>& user_consent_verifier_cell() noexcept;
FactoryCache<abi::IUserConsentVerifierInterop>& user_consent_verifier_interop_cell() noexcept;

}  // namespace bio::winrt
