#include "winrt/factory_cache.h"

#include <roapi.h>

#include <string>

#include "winrt/entry_points.h"
#include "winrt/platform_string.h"

namespace bio::winrt {
namespace {

constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x800401F0u);  // CO_E_NOTINITIALIZED

// A library loaded for the fallback, freed unless it turned out to export a factory.
class LibraryHandle {
public:
    explicit LibraryHandle(HMODULE raw) noexcept : raw_(raw) {}
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;
    ~LibraryHandle() { reset(); }

    HMODULE get() const noexcept { return raw_; }
    void reset() noexcept {
        if (raw_ != nullptr) FreeLibrary(std::exchange(raw_, nullptr));
    }
    // It stays loaded for the rest of the process.
    void keep() noexcept { raw_ = nullptr; }

private:
    HMODULE raw_;
};

}  // namespace

EntryPoints& entry_points() noexcept {
    static EntryPoints table{&::RoGetActivationFactory, &::CoIncrementMTAUsage};
    return table;
}

Outcome<ComPtr<abi::IActivationFactory>> load_factory_from_library(const char* file_name, HSTRING class_name) {
    LibraryHandle library(LoadLibraryExA(file_name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (library.get() == nullptr) return error_from_last_system_error();

    auto get_factory = reinterpret_cast<abi::DllGetActivationFactoryFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "DllGetActivationFactory")));
    if (get_factory == nullptr) {
        library.reset();
        // The error reported is the one left after FreeLibrary.
        return error_from_last_system_error();
    }
    library.keep();

    ComPtr<abi::IActivationFactory> factory;
    const HRESULT hr = get_factory(class_name, out_param(factory));
    if (FAILED(hr)) return error_from_failure(hr);
    if (!factory) return PlatformError::empty();
    return factory;
}

Outcome<ComPtr<abi::IUnknown>> resolve_factory(std::string_view class_name, const GUID& iid) {
    PlatformString name = PlatformString::from_utf8(class_name);
    const EntryPoints& platform = entry_points();

    ComPtr<abi::IUnknown> factory;
    HRESULT hr = platform.RoGetActivationFactory(name.get(), iid, out_param(factory));
    if (hr == kNotInitialized) {
        // No apartment on this thread: join the multithreaded one for good (the cookie is
        // never handed back) and look up once more.
        CO_MTA_USAGE_COOKIE cookie = nullptr;
        (void)platform.CoIncrementMTAUsage(&cookie);
        hr = platform.RoGetActivationFactory(name.get(), iid, out_param(factory));
    }
    // A factory counts, whatever code came with it.
    if (factory) return factory;

    PlatformError lookup_error = error_from_failure(hr);

    // The class's own library: its name is a prefix of the class name ending before a '.',
    // longest first.
    std::string candidate(class_name);
    candidate.reserve(class_name.size() + 5);
    std::size_t prefix_length = class_name.size();
    for (;;) {
        const std::size_t dot = std::string_view(candidate.data(), prefix_length).rfind('.');
        if (dot == std::string_view::npos) return lookup_error;
        prefix_length = dot;
        candidate.resize(prefix_length);
        candidate += ".dll";

        Outcome<ComPtr<abi::IActivationFactory>> generic = load_factory_from_library(candidate.c_str(), name.get());
        if (!generic.ok()) continue;  // its error is dropped; the lookup error stands

        // The first library that yields a factory decides, even when it lacks the interface.
        ComPtr<abi::IUnknown> statics;
        ComPtr<abi::IActivationFactory>& library_factory = generic.value();
        hr = library_factory->lpVtbl->QueryInterface(library_factory.get(), &iid, out_param(statics));
        if (FAILED(hr)) return error_from_failure(hr);
        if (!statics) return error_from_failure(E_POINTER);
        return statics;
    }
}

FactoryCache<abi::IKeyCredentialManagerStatics>& key_credential_manager_cell() noexcept {
    static FactoryCache<abi::IKeyCredentialManagerStatics> cell(kKeyCredentialManagerClass,
                                                                abi::IID_IKeyCredentialManagerStatics);
    return cell;
}

FactoryCache<abi::ICryptographicBufferStatics>& cryptographic_buffer_cell() noexcept {
    static FactoryCache<abi::ICryptographicBufferStatics> cell(kCryptographicBufferClass,
                                                               abi::IID_ICryptographicBufferStatics);
    return cell;
}

FactoryCache<abi::IUserConsentVerifierStatics>& user_consent_verifier_cell() noexcept {
    static FactoryCache<abi::IUserConsentVerifierStatics> cell(kUserConsentVerifierClass,
                                                               abi::IID_IUserConsentVerifierStatics);
    return cell;
}

FactoryCache<abi::IUserConsentVerifierInterop>& user_consent_verifier_interop_cell() noexcept {
    static FactoryCache<abi::IUserConsentVerifierInterop> cell(kUserConsentVerifierClass,
                                                               abi::IID_IUserConsentVerifierInterop);
    return cell;
}

}  // namespace bio::winrt
