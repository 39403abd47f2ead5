#include "winrt/winrt_platform.h"

#include <cstring>

#include "winrt/completion.h"
#include "winrt/factory_cache.h"
#include "winrt/owner_window.h"
#include "winrt/platform_string.h"

namespace bio::winrt {
namespace {

template <class T>
T* as(const void* raw) noexcept {
    return static_cast<T*>(const_cast<void*>(raw));
}

// The shape of every call that yields an interface: the out-parameter starts null, a
// failure becomes a PlatformError at once, success without an object the empty error.
template <ObjectKind Kind, class Call>
Outcome<PlatformRef<Kind>> yield_object(KeyCredentialPlatform& platform, Call&& call) {
    void* out = nullptr;
    const HRESULT hr = call(&out);
    if (FAILED(hr)) return error_from_failure(hr);
    if (out == nullptr) return PlatformError::empty();
    return PlatformRef<Kind>(platform, out);
}

template <class ResultInterface>
Outcome<std::int32_t> read_status(ResultInterface* result) {
    INT32 status = 0;
    const HRESULT hr = result->lpVtbl->get_Status(result, &status);
    if (FAILED(hr)) return error_from_failure(hr);
    return status;
}

}  // namespace

StringRef WinrtPlatform::create_string(TextView utf8) {
    return adopt<ObjectKind::String>(PlatformString::from_utf8(utf8).release());
}

std::string WinrtPlatform::string_text(const StringRef& string) {
    const std::wstring_view units = string_units(static_cast<HSTRING>(string.get()));
    return utf16_to_utf8(units.data(), units.size());
}

namespace {

Outcome<RetrievalOperationRef> request_create(KeyCredentialPlatform& platform,
                                              abi::IKeyCredentialManagerStatics* statics, const StringRef& name,
                                              KeyCredentialCreationOption option) {
    return yield_object<ObjectKind::RetrievalOperation>(platform, [&](void** out) {
        return statics->lpVtbl->RequestCreateAsync(
            statics, static_cast<HSTRING>(name.get()), static_cast<INT32>(option),
            reinterpret_cast<abi::IAsyncOperation_KeyCredentialRetrievalResult**>(out));
    });
}

Outcome<SignOperationRef> request_sign(KeyCredentialPlatform& platform, abi::IKeyCredential* credential,
                                       const BufferRef& data) {
    return yield_object<ObjectKind::SignOperation>(platform, [&](void** out) {
        return credential->lpVtbl->RequestSignAsync(
            credential, as<abi::IBuffer>(data.get()),
            reinterpret_cast<abi::IAsyncOperation_KeyCredentialOperationResult**>(out));
    });
}

}  // namespace

Outcome<RetrievalOperationRef> WinrtPlatform::RequestCreateAsync(const StringRef& name,
                                                                 KeyCredentialCreationOption option) {
    return key_credential_manager_cell().call(
        [&](abi::IKeyCredentialManagerStatics* statics) { return request_create(*this, statics, name, option); });
}

// The owner-window variants: where the platform lacks the interface, or the window
// cannot be converted, the older call (a window the platform cannot use is no error).
Outcome<RetrievalOperationRef> WinrtPlatform::RequestCreateForWindowAsync(WindowHandle window, const StringRef& name,
                                                                          KeyCredentialCreationOption option) {
    return key_credential_manager_cell().call([&](abi::IKeyCredentialManagerStatics* statics) {
        auto with_window = create_with_window_probe().find<abi::IKeyCredentialManagerCreateWithWindowStatics>(statics);
        if (!with_window) return request_create(*this, statics, name, option);
        const std::optional<abi::WindowId> id = window_id(window);
        if (!id) return request_create(*this, statics, name, option);
        return yield_object<ObjectKind::RetrievalOperation>(*this, [&](void** out) {
            return with_window->lpVtbl->RequestCreateForWindowAsync(
                with_window.get(), *id, static_cast<HSTRING>(name.get()), static_cast<INT32>(option),
                reinterpret_cast<abi::IAsyncOperation_KeyCredentialRetrievalResult**>(out));
        });
    });
}

Outcome<SignOperationRef> WinrtPlatform::RequestSignForWindowAsync(WindowHandle window, const CredentialRef& credential,
                                                                   const BufferRef& data) {
    auto* self = as<abi::IKeyCredential>(credential.get());
    auto with_window = sign_with_window_probe().find<abi::IKeyCredentialWithWindow>(self);
    if (!with_window) return request_sign(*this, self, data);
    const std::optional<abi::WindowId> id = window_id(window);
    if (!id) return request_sign(*this, self, data);
    return yield_object<ObjectKind::SignOperation>(*this, [&](void** out) {
        return with_window->lpVtbl->RequestSignForWindowAsync(
            with_window.get(), *id, as<abi::IBuffer>(data.get()),
            reinterpret_cast<abi::IAsyncOperation_KeyCredentialOperationResult**>(out));
    });
}

Outcome<AvailabilityOperationRef> WinrtPlatform::CheckAvailabilityAsync() {
    return user_consent_verifier_cell().call([&](abi::IUserConsentVerifierStatics* statics) {
        return yield_object<ObjectKind::AvailabilityOperation>(*this, [&](void** out) {
            return statics->lpVtbl->CheckAvailabilityAsync(
                statics, reinterpret_cast<abi::IAsyncOperation_UserConsentVerifierAvailability**>(out));
        });
    });
}

// Through the interop interface: the statics' RequestVerificationAsync needs a CoreWindow,
// which desktop programs do not have.
Outcome<VerificationOperationRef> WinrtPlatform::RequestVerificationForWindowAsync(WindowHandle window,
                                                                                   const StringRef& message) {
    const HWND owner = verification_owner(window);
    return user_consent_verifier_interop_cell().call([&](abi::IUserConsentVerifierInterop* interop) {
        return yield_object<ObjectKind::VerificationOperation>(*this, [&](void** out) {
            return interop->lpVtbl->RequestVerificationForWindowAsync(
                interop, owner, static_cast<HSTRING>(message.get()),
                &abi::IID_IAsyncOperation_UserConsentVerificationResult, out);
        });
    });
}

Outcome<AttestationOperationRef> WinrtPlatform::GetAttestationAsync(const CredentialRef& credential) {
    auto* self = as<abi::IKeyCredential>(credential.get());
    return yield_object<ObjectKind::AttestationOperation>(*this, [&](void** out) {
        return self->lpVtbl->GetAttestationAsync(
            self, reinterpret_cast<abi::IAsyncOperation_KeyCredentialAttestationResult**>(out));
    });
}

Outcome<std::int32_t> WinrtPlatform::wait_for_results(const AvailabilityOperationRef& operation) {
    return wait_for_value<ConsentAvailability>(
        as<abi::IAsyncOperation_UserConsentVerifierAvailability>(operation.get()));
}

Outcome<std::int32_t> WinrtPlatform::wait_for_results(const VerificationOperationRef& operation) {
    return wait_for_value<ConsentVerification>(as<abi::IAsyncOperation_UserConsentVerificationResult>(operation.get()));
}

Outcome<AttestationResultRef> WinrtPlatform::wait_for_results(const AttestationOperationRef& operation) {
    auto waited = winrt::wait_for_results<abi::IKeyCredentialAttestationResult>(
        as<abi::IAsyncOperation_KeyCredentialAttestationResult>(operation.get()));
    if (!waited.ok()) return std::move(waited.error());
    return adopt<ObjectKind::AttestationResult>(waited.value().release());
}

Outcome<std::int32_t> WinrtPlatform::Status(const AttestationResultRef& result) {
    return read_status(as<abi::IKeyCredentialAttestationResult>(result.get()));
}

Outcome<BufferRef> WinrtPlatform::CertificateChainBuffer(const AttestationResultRef& result) {
    auto* self = as<abi::IKeyCredentialAttestationResult>(result.get());
    return yield_object<ObjectKind::Buffer>(*this, [&](void** out) {
        return self->lpVtbl->get_CertificateChainBuffer(self, reinterpret_cast<abi::IBuffer**>(out));
    });
}

Outcome<BufferRef> WinrtPlatform::AttestationBuffer(const AttestationResultRef& result) {
    auto* self = as<abi::IKeyCredentialAttestationResult>(result.get());
    return yield_object<ObjectKind::Buffer>(*this, [&](void** out) {
        return self->lpVtbl->get_AttestationBuffer(self, reinterpret_cast<abi::IBuffer**>(out));
    });
}

Outcome<RetrievalOperationRef> WinrtPlatform::OpenAsync(const StringRef& name) {
    return key_credential_manager_cell().call([&](abi::IKeyCredentialManagerStatics* statics) {
        return yield_object<ObjectKind::RetrievalOperation>(
            *this,
            [&](void** out) {
                return statics->lpVtbl->OpenAsync(
                    statics, static_cast<HSTRING>(name.get()),
                    reinterpret_cast<abi::IAsyncOperation_KeyCredentialRetrievalResult**>(out));
            });
    });
}

Outcome<DeleteOperationRef> WinrtPlatform::DeleteAsync(const StringRef& name) {
    return key_credential_manager_cell().call([&](abi::IKeyCredentialManagerStatics* statics) {
        return yield_object<ObjectKind::DeleteOperation>(*this, [&](void** out) {
            return statics->lpVtbl->DeleteAsync(statics, static_cast<HSTRING>(name.get()),
                                                reinterpret_cast<abi::IAsyncAction**>(out));
        });
    });
}

Outcome<SupportOperationRef> WinrtPlatform::IsSupportedAsync() {
    return key_credential_manager_cell().call([&](abi::IKeyCredentialManagerStatics* statics) {
        return yield_object<ObjectKind::SupportOperation>(*this, [&](void** out) {
            return statics->lpVtbl->IsSupportedAsync(statics, reinterpret_cast<abi::IAsyncOperation_boolean**>(out));
        });
    });
}

Outcome<RetrievalResultRef> WinrtPlatform::wait_for_results(const RetrievalOperationRef& operation) {
    auto waited = winrt::wait_for_results<abi::IKeyCredentialRetrievalResult>(
        as<abi::IAsyncOperation_KeyCredentialRetrievalResult>(operation.get()));
    if (!waited.ok()) return std::move(waited.error());
    return adopt<ObjectKind::RetrievalResult>(waited.value().release());
}

Outcome<OperationResultRef> WinrtPlatform::wait_for_results(const SignOperationRef& operation) {
    auto waited = winrt::wait_for_results<abi::IKeyCredentialOperationResult>(
        as<abi::IAsyncOperation_KeyCredentialOperationResult>(operation.get()));
    if (!waited.ok()) return std::move(waited.error());
    return adopt<ObjectKind::OperationResult>(waited.value().release());
}

Outcome<void> WinrtPlatform::wait_for_results(const DeleteOperationRef& operation) {
    return winrt::wait_for_results(as<abi::IAsyncAction>(operation.get()));
}

Outcome<bool> WinrtPlatform::wait_for_results(const SupportOperationRef& operation) {
    return winrt::wait_for_results(as<abi::IAsyncOperation_boolean>(operation.get()));
}

Outcome<std::int32_t> WinrtPlatform::Status(const RetrievalResultRef& result) {
    return read_status(as<abi::IKeyCredentialRetrievalResult>(result.get()));
}

Outcome<std::int32_t> WinrtPlatform::Status(const OperationResultRef& result) {
    return read_status(as<abi::IKeyCredentialOperationResult>(result.get()));
}

Outcome<CredentialRef> WinrtPlatform::Credential(const RetrievalResultRef& result) {
    auto* self = as<abi::IKeyCredentialRetrievalResult>(result.get());
    return yield_object<ObjectKind::Credential>(
        *this,
        [&](void** out) { return self->lpVtbl->get_Credential(self, reinterpret_cast<abi::IKeyCredential**>(out)); });
}

Outcome<BufferRef> WinrtPlatform::Result(const OperationResultRef& result) {
    auto* self = as<abi::IKeyCredentialOperationResult>(result.get());
    return yield_object<ObjectKind::Buffer>(
        *this, [&](void** out) { return self->lpVtbl->get_Result(self, reinterpret_cast<abi::IBuffer**>(out)); });
}

Outcome<BufferRef> WinrtPlatform::RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) {
    auto* self = as<abi::IKeyCredential>(credential.get());
    return yield_object<ObjectKind::Buffer>(
        *this,
        [&](void** out) {
            return self->lpVtbl->RetrievePublicKeyWithDefaultBlobType(self, reinterpret_cast<abi::IBuffer**>(out));
        });
}

Outcome<BufferRef> WinrtPlatform::RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                                CryptographicPublicKeyBlobType blob_type) {
    auto* self = as<abi::IKeyCredential>(credential.get());
    return yield_object<ObjectKind::Buffer>(*this, [&](void** out) {
        return self->lpVtbl->RetrievePublicKeyWithBlobType(self, static_cast<INT32>(blob_type),
                                                           reinterpret_cast<abi::IBuffer**>(out));
    });
}

Outcome<SignOperationRef> WinrtPlatform::RequestSignAsync(const CredentialRef& credential, const BufferRef& data) {
    return request_sign(*this, as<abi::IKeyCredential>(credential.get()), data);
}

Outcome<std::uint32_t> WinrtPlatform::Length(const BufferRef& buffer) {
    auto* self = as<abi::IBuffer>(buffer.get());
    UINT32 length = 0;
    const HRESULT hr = self->lpVtbl->get_Length(self, &length);
    if (FAILED(hr)) return error_from_failure(hr);
    return static_cast<std::uint32_t>(length);
}

Outcome<BufferRef> WinrtPlatform::CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) {
    return cryptographic_buffer_cell().call([&](abi::ICryptographicBufferStatics* statics) {
        return yield_object<ObjectKind::Buffer>(
            *this,
            [&](void** out) {
                // The platform copies the bytes and never writes to them.
                return statics->lpVtbl->CreateFromByteArray(statics, length, const_cast<BYTE*>(bytes),
                                                            reinterpret_cast<abi::IBuffer**>(out));
            });
    });
}

Outcome<void> WinrtPlatform::CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) {
    return cryptographic_buffer_cell().call([&](abi::ICryptographicBufferStatics* statics) -> Outcome<void> {
        UINT32 length = 0;
        BYTE* data = nullptr;
        const HRESULT hr = statics->lpVtbl->CopyToByteArray(statics, as<abi::IBuffer>(buffer.get()), &length, &data);
        if (FAILED(hr)) {
            PlatformError error = error_from_failure(hr);
            // Nothing the platform handed out on failure stays behind.
            PlatformArray leftover(*this, ReceivingArray{data, length});
            return error;
        }
        array.data = data;
        array.length = length;
        return {};
    });
}

Outcome<StringRef> WinrtPlatform::EncodeToBase64String(const BufferRef& buffer) {
    return cryptographic_buffer_cell().call([&](abi::ICryptographicBufferStatics* statics) -> Outcome<StringRef> {
        HSTRING encoded = nullptr;
        const HRESULT hr = statics->lpVtbl->EncodeToBase64String(statics, as<abi::IBuffer>(buffer.get()), &encoded);
        if (FAILED(hr)) return error_from_failure(hr);
        // A null string is the empty text, not a failure.
        return adopt<ObjectKind::String>(encoded);
    });
}

std::uint8_t* WinrtPlatform::allocate_array(std::uint32_t length) noexcept {
    void* block = CoTaskMemAlloc(length);
    if (block != nullptr) std::memset(block, 0, length);
    return static_cast<std::uint8_t*>(block);
}

void WinrtPlatform::free_array(std::uint8_t* data) noexcept { CoTaskMemFree(data); }

void WinrtPlatform::release(ObjectKind kind, void* raw) noexcept {
    if (kind == ObjectKind::String) {
        release_string_block(static_cast<HSTRING>(raw));
    } else {
        auto* object = static_cast<abi::IUnknown*>(raw);
        object->lpVtbl->Release(object);
    }
}

}  // namespace bio::winrt

namespace bio {

KeyCredentialPlatform& default_platform() {
    static winrt::WinrtPlatform* platform = new winrt::WinrtPlatform;  // lives until the process ends
    return *platform;
}

}  // namespace bio
