// The local kit: the platform interface's objects (bio_windows.h) emulated in this
// process, for platforms that have none of their own. The Windows Runtime hands out
// strings, buffers, asynchronous operations and their results; the TPM platform
// (src/tpm/) and the stand-in (src/standin/) have only keys and a way to verify the
// user, and build on this for the rest. They stand side by side on this folder and
// include nothing of each other.
//
// The handle model of a platform whose requests do their work when they are made.
//
// The platform's objects are small heap objects, one per handle, freed by release().
// Results are shared between the handles that reach them, so waiting twice on one
// request yields two handles to the same result, as on the platform. An operation is
// complete when it is handed out and wait_for_results only hands over its result (or the
// failure it completed with, reported afresh at every wait). The work happens once, even
// if nobody waits, as a platform request that has been started completes whether or not
// its result is taken.
//
// A platform built on this provides the requests (creating, opening and removing a
// credential, signing, the support check, availability and a plain verification) and
// the credential objects; everything else (strings, buffers, results, statuses, public
// keys, attestation, arrays) is here. Public keys are DER SubjectPublicKeyInfo only,
// which is also the default blob type. Attestation is "not supported": no key of these
// platforms has a certificate chain from a manufacturer that we read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bio_windows.h"

namespace bio::local {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// A credential as a local platform keeps it: its name (for the verification prompt) and
// its public key; a platform derives its own with whatever it signs with.
struct LocalCredential {
    virtual ~LocalCredential() = default;
    std::string name;
    SharedBytes public_key;  // DER SubjectPublicKeyInfo
};
using LocalCredentialPtr = std::shared_ptr<const LocalCredential>;

class LocalPlatform : public KeyCredentialPlatform {
public:
    LocalPlatform() = default;
    LocalPlatform(const LocalPlatform&) = delete;
    LocalPlatform& operator=(const LocalPlatform&) = delete;

    StringRef create_string(TextView utf8) override;
    std::string string_text(const StringRef& string) override;
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

    // Objects of all local platforms not yet released: for tests.
    static long live_objects() noexcept;

protected:
    // Completed operations, for the requests a platform makes.
    RetrievalOperationRef retrieval_done(std::int32_t status, LocalCredentialPtr credential = nullptr);
    RetrievalOperationRef retrieval_failed(PlatformError& error);
    SignOperationRef signing_done(std::int32_t status, std::vector<std::uint8_t> signature = {});
    DeleteOperationRef deletion_done();
    DeleteOperationRef deletion_failed(PlatformError& error);
    SupportOperationRef support_done(bool supported);
    AvailabilityOperationRef availability_done(Outcome<std::int32_t> availability);
    VerificationOperationRef verification_done(Outcome<std::int32_t> result);
    // An attestation a platform has (the local kit's own has none: NotSupported).
    AttestationOperationRef attestation_done(std::int32_t status, std::vector<std::uint8_t> chain,
                                             std::vector<std::uint8_t> attestation);
    AttestationOperationRef attestation_failed(PlatformError& error);
    // DeleteAsync of a platform that keeps its credentials in a CredentialStore at
    // `directory`: the name's key file removed, or NotFound (2) as the error.
    DeleteOperationRef remove_from_store(Outcome<std::string> directory, const std::string& name);

    // What a handle passed in holds: null for the null handle.
    static const LocalCredential* credential_of(const CredentialRef& credential) noexcept;
    static const std::vector<std::uint8_t>* bytes_of(const BufferRef& buffer) noexcept;
    static PlatformError null_argument();

private:
    // A new handle of its own object holding `value`.
    template <ObjectKind Kind, class T>
    PlatformRef<Kind> make(T value);
};

}  // namespace bio::local
