// The software stand-in for the platform's key-credential service, used wherever the
// Windows Runtime is not: RSA-2048 keys made and used with OpenSSL, kept in a per-user
// store of PEM files (credential_store.h).
//
// It verifies no user: whoever can read the store can sign with its keys. It stands in
// for the platform so that applications can be built, tested and have their signatures
// checked off Windows, exactly as with keys made by the platform; it secures nothing.
// Where the platform would ask the user (creating and signing), the environment says
// what the simulated user does (user_verification.h).
//
// The platform's objects are small heap objects, one per handle, freed by release().
// Results are shared between the handles that reach them, so waiting twice on one
// request yields two handles to the same result, as on the platform.
//
// Opening a credential whose key file is unchanged since it was last opened uses the key
// parsed then (key_cache.h); every signature is checked against the key's public half
// before it is handed out, so a damaged key yields UnknownError, never a bad signature.
//
// Every request does its work when it is made (key generation and the store's file
// operations in RequestCreateAsync, OpenAsync and DeleteAsync, the signature in
// RequestSignAsync), so an operation is complete when it is handed out and
// wait_for_results only hands over its result. The work happens once, even if nobody waits, as a platform request that
// has been started completes whether or not its result is taken. Failures of the store's
// file system calls complete the operation with the HRESULT the platform would report;
// anything about the credential itself is a KeyCredentialStatus of the result. DeleteAsync
// has no result to carry a status: a name that is not enrolled completes it with the
// error NotFound (2).
//
// The public key is always available in one form, DER SubjectPublicKeyInfo, which is
// also the default blob type; the stand-in supports key credentials everywhere.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "bio_windows.h"

namespace bio::standin {

class KeyCache;

class StandinPlatform final : public KeyCredentialPlatform {
public:
    // Keeps credentials in `store_directory`; without one, in the directory that the
    // environment names when each request is made.
    explicit StandinPlatform(std::optional<std::string> store_directory = std::nullopt);
    ~StandinPlatform() override;
    StandinPlatform(const StandinPlatform&) = delete;
    StandinPlatform& operator=(const StandinPlatform&) = delete;

    std::span<const char* const> environment_variables() const noexcept override;
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
    Outcome<std::uint32_t> Length(const BufferRef& buffer) override;
    Outcome<BufferRef> CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) override;
    Outcome<void> CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) override;
    Outcome<StringRef> EncodeToBase64String(const BufferRef& buffer) override;
    std::uint8_t* allocate_array(std::uint32_t length) noexcept override;
    void free_array(std::uint8_t* data) noexcept override;
    void release(ObjectKind kind, void* raw) noexcept override;

    // Objects of all stand-in platforms not yet released: for tests.
    static long live_objects() noexcept;
    // Keys this platform keeps parsed (key_cache.h): for tests.
    std::size_t cached_keys() const;

private:
    Outcome<std::string> store_directory() const;
    // A new handle of its own object holding `value`.
    template <ObjectKind Kind, class T>
    PlatformRef<Kind> make(T value);

    std::optional<std::string> store_directory_;
    std::unique_ptr<KeyCache> keys_;
};

}  // namespace bio::standin
