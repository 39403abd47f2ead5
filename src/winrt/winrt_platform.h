// KeyCredentialPlatform on the Windows Runtime.
#pragma once

#include "bio_windows.h"

namespace bio::winrt {

class WinrtPlatform final : public KeyCredentialPlatform {
public:
    std::string_view platform_name() const noexcept override { return "windows"; }
    StringRef create_string(TextView utf8) override;
    std::string string_text(const StringRef& string) override;

    Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef& name,
                                                      KeyCredentialCreationOption option) override;
    Outcome<RetrievalOperationRef> OpenAsync(const StringRef& name) override;
    Outcome<DeleteOperationRef> DeleteAsync(const StringRef& name) override;
    Outcome<SupportOperationRef> IsSupportedAsync() override;
    Outcome<RetrievalResultRef> wait_for_results(const RetrievalOperationRef& operation) override;
    Outcome<OperationResultRef> wait_for_results(const SignOperationRef& operation) override;
    Outcome<void> wait_for_results(const DeleteOperationRef& operation) override;
    Outcome<bool> wait_for_results(const SupportOperationRef& operation) override;
    Outcome<std::int32_t> Status(const RetrievalResultRef& result) override;
    Outcome<std::int32_t> Status(const OperationResultRef& result) override;
    Outcome<CredentialRef> Credential(const RetrievalResultRef& result) override;
    Outcome<BufferRef> Result(const OperationResultRef& result) override;
    Outcome<BufferRef> RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) override;
    Outcome<BufferRef> RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                     CryptographicPublicKeyBlobType blob_type) override;
    Outcome<SignOperationRef> RequestSignAsync(const CredentialRef& credential, const BufferRef& data) override;
    Outcome<std::uint32_t> Length(const BufferRef& buffer) override;
    Outcome<BufferRef> CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) override;
    Outcome<void> CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) override;
    Outcome<StringRef> EncodeToBase64String(const BufferRef& buffer) override;
    Outcome<RetrievalOperationRef> RequestCreateForWindowAsync(WindowHandle window, const StringRef& name,
                                                               KeyCredentialCreationOption option) override;
    Outcome<SignOperationRef> RequestSignForWindowAsync(WindowHandle window, const CredentialRef& credential,
                                                        const BufferRef& data) override;
    Outcome<AvailabilityOperationRef> CheckAvailabilityAsync() override;
    Outcome<VerificationOperationRef> RequestVerificationForWindowAsync(WindowHandle window,
                                                                        const StringRef& message) override;
    Outcome<AttestationOperationRef> GetAttestationAsync(const CredentialRef& credential) override;
    Outcome<std::int32_t> wait_for_results(const AvailabilityOperationRef& operation) override;
    Outcome<std::int32_t> wait_for_results(const VerificationOperationRef& operation) override;
    Outcome<AttestationResultRef> wait_for_results(const AttestationOperationRef& operation) override;
    Outcome<std::int32_t> Status(const AttestationResultRef& result) override;
    Outcome<BufferRef> CertificateChainBuffer(const AttestationResultRef& result) override;
    Outcome<BufferRef> AttestationBuffer(const AttestationResultRef& result) override;
    std::uint8_t* allocate_array(std::uint32_t length) noexcept override;
    void free_array(std::uint8_t* data) noexcept override;
    void release(ObjectKind kind, void* raw) noexcept override;
};

}  // namespace bio::winrt
