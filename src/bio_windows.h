// The key-credential service: enrolment, signing, reading a public key, removal and the
// support check as ordered sequences of calls on the platform's key-credential
// operations, each failure reduced to one signed code.
//
// KeyCredentialPlatform is the only way to the platform: the platform interface, the
// Windows Runtime's key-credential and user-consent objects (KeyCredentialManager,
// CryptographicBuffer, UserConsentVerifier) as a C++ interface. The Windows Runtime
// binding (src/winrt) implements it with the real objects; where there are none, the
// local kit (src/local) plays them in this process for the TPM platform (src/tpm) and
// the software stand-in (src/standin); the tests add a scripted fake.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform_error.h"

namespace bio {

// A KeyCredentialStatus other than Success, the HRESULT of a failed call, or 0 for a
// call that succeeded without the object it should have yielded.
using CredentialErrorCode = std::int32_t;

// KeyCredentialStatus values as the platform publishes them.
enum KeyCredentialStatus : std::int32_t {
    KeyCredentialStatus_Success = 0,
    KeyCredentialStatus_UnknownError = 1,
    KeyCredentialStatus_NotFound = 2,
    KeyCredentialStatus_UserCanceled = 3,
    KeyCredentialStatus_UserPrefersPassword = 4,
    KeyCredentialStatus_CredentialAlreadyExists = 5,
    KeyCredentialStatus_SecurityDeviceLocked = 6,
    KeyCredentialStatus_AlgorithmNotSupported = 7,
};

// UserConsentVerifierAvailability and UserConsentVerificationResult values.
enum UserConsent : std::int32_t {
    UserConsent_Available = 0,  // Verified, for a verification
    UserConsent_DeviceNotPresent = 1,
    UserConsent_NotConfiguredForUser = 2,
    UserConsent_DisabledByPolicy = 3,
    UserConsent_DeviceBusy = 4,
    UserConsent_RetriesExhausted = 5,  // verification only
    UserConsent_Canceled = 6,          // verification only
};

// KeyCredentialAttestationStatus values.
enum KeyCredentialAttestationStatus : std::int32_t {
    KeyCredentialAttestationStatus_Success = 0,
    KeyCredentialAttestationStatus_UnknownError = 1,
    KeyCredentialAttestationStatus_NotSupported = 2,
    KeyCredentialAttestationStatus_TemporaryFailure = 3,
};

// A top-level window (HWND) as an integer, for the prompt's owner; 0 is none.
using WindowHandle = std::uint64_t;

enum class KeyCredentialCreationOption : std::int32_t { ReplaceExisting = 0, FailIfExists = 1 };

// The forms RetrievePublicKeyWithBlobType can give a public key in.
enum class CryptographicPublicKeyBlobType : std::int32_t {
    X509SubjectPublicKeyInfo = 0,  // DER SubjectPublicKeyInfo
    Pkcs1RsaPublicKey = 1,
    BCryptPublicKey = 2,
    Capi1PublicKey = 3,
};

// UTF-8 text and bytes borrowed from the caller for the duration of a call.
using TextView = std::string_view;
struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Either a value or the PlatformError of the call that should have produced it.
template <class T>
class Outcome {
public:
    Outcome(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(PlatformError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&state_); }
    PlatformError& error() noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, PlatformError> state_;
};

template <>
class Outcome<void> {
public:
    Outcome() noexcept = default;
    Outcome(PlatformError error) noexcept : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    PlatformError& error() noexcept { return *error_; }

private:
    std::optional<PlatformError> error_;
};

// The kinds of platform objects the operations hold.
enum class ObjectKind : std::uint8_t {
    String,              // a platform string (HSTRING); null is the empty string
    RetrievalOperation,  // IAsyncOperation<KeyCredentialRetrievalResult>
    RetrievalResult,     // KeyCredentialRetrievalResult
    Credential,          // KeyCredential
    SignOperation,       // IAsyncOperation<KeyCredentialOperationResult>
    OperationResult,     // KeyCredentialOperationResult
    Buffer,              // IBuffer
    DeleteOperation,     // IAsyncAction of DeleteAsync
    SupportOperation,    // IAsyncOperation<bool> of IsSupportedAsync
    AvailabilityOperation,  // IAsyncOperation<UserConsentVerifierAvailability>
    VerificationOperation,  // IAsyncOperation<UserConsentVerificationResult>
    AttestationOperation,   // IAsyncOperation<KeyCredentialAttestationResult>
    AttestationResult,      // KeyCredentialAttestationResult
};

class KeyCredentialPlatform;

// The one holder of one platform object: move-only, released exactly once through the
// platform that made it, when the holder is reset or goes out of scope.
// Not a UniqueHandle (runtime/unique_handle.h): it carries the platform it releases through.
template <ObjectKind Kind>
class PlatformRef {
public:
    PlatformRef() noexcept = default;
    PlatformRef(KeyCredentialPlatform& platform, void* raw) noexcept : platform_(&platform), raw_(raw) {}
    // A move reads the handle first and the platform only for a handle: the two are then
    // two loads, never one wide load of both that would have to wait for the separate
    // stores of the call that just returned the holder.
    PlatformRef(PlatformRef&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {
        if (raw_ != nullptr) platform_ = other.platform_;
    }
    PlatformRef& operator=(PlatformRef&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, nullptr);
            if (raw_ != nullptr) platform_ = other.platform_;
        }
        return *this;
    }
    PlatformRef(const PlatformRef&) = delete;
    PlatformRef& operator=(const PlatformRef&) = delete;
    ~PlatformRef() { reset(); }

    void reset() noexcept;
    void* get() const noexcept { return raw_; }
    explicit operator bool() const noexcept { return raw_ != nullptr; }
    // Gives up ownership without releasing.
    void* detach() noexcept { return std::exchange(raw_, nullptr); }

private:
    KeyCredentialPlatform* platform_ = nullptr;
    void* raw_ = nullptr;
};

using StringRef = PlatformRef<ObjectKind::String>;
using RetrievalOperationRef = PlatformRef<ObjectKind::RetrievalOperation>;
using RetrievalResultRef = PlatformRef<ObjectKind::RetrievalResult>;
using CredentialRef = PlatformRef<ObjectKind::Credential>;
using SignOperationRef = PlatformRef<ObjectKind::SignOperation>;
using OperationResultRef = PlatformRef<ObjectKind::OperationResult>;
using BufferRef = PlatformRef<ObjectKind::Buffer>;
using DeleteOperationRef = PlatformRef<ObjectKind::DeleteOperation>;
using SupportOperationRef = PlatformRef<ObjectKind::SupportOperation>;
using AvailabilityOperationRef = PlatformRef<ObjectKind::AvailabilityOperation>;
using VerificationOperationRef = PlatformRef<ObjectKind::VerificationOperation>;
using AttestationOperationRef = PlatformRef<ObjectKind::AttestationOperation>;
using AttestationResultRef = PlatformRef<ObjectKind::AttestationResult>;

// A byte array in platform memory (CoTaskMem on Windows): what CopyToByteArray fills.
struct ReceivingArray {
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

// The platform interface: the platform's key-credential operations, under their
// published names.
//
// Every operation that yields an object yields an owning PlatformRef or the
// PlatformError of the call; one that succeeds without an object yields the empty
// PlatformError (code 0). Inputs are borrowed for the call.
class KeyCredentialPlatform {
public:
    virtual ~KeyCredentialPlatform() = default;

    // Which platform this is, as biometric_keys.platform() names it: "windows", "tpm",
    // "standin" (a test's fake names itself); empty for none, where unusable_reason says why.
    virtual std::string_view platform_name() const noexcept = 0;

    // Why no request of this platform can succeed, in words for a person: a platform that
    // stands in for one a setting should have chosen and did not. Empty for a platform.
    virtual std::string_view unusable_reason() const noexcept { return {}; }

    // What the program must be told about how this platform was chosen (the stand-in,
    // which verifies no one, chosen for want of one that verifies users), given to the
    // first caller only: warned about once per process. Empty for every other.
    std::optional<std::string> take_choice_warning() {
        if (choice_warning_.empty() || choice_warned_.exchange(true)) return std::nullopt;
        return choice_warning_;
    }
    // Set once, as the platform is chosen, before anyone asks for it.
    void set_choice_warning(std::string text) { choice_warning_ = std::move(text); }

    // The environment variables the platform reads while it makes a request: read once
    // where the environment cannot change under the reading, before a request gives up
    // the interpreter lock (runtime/environment.h).
    virtual std::span<const char* const> environment_variables() const noexcept { return {}; }

    // Platform strings. A name that cannot become a platform string is a fault.
    virtual StringRef create_string(TextView utf8) = 0;
    virtual std::string string_text(const StringRef& string) = 0;

    // KeyCredentialManager statics.
    virtual Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef& name,
                                                              KeyCredentialCreationOption option) = 0;
    virtual Outcome<RetrievalOperationRef> OpenAsync(const StringRef& name) = 0;
    virtual Outcome<DeleteOperationRef> DeleteAsync(const StringRef& name) = 0;
    virtual Outcome<SupportOperationRef> IsSupportedAsync() = 0;

    // Blocks until the request has completed; yields its result (an object, the answer
    // of IsSupportedAsync, or nothing for DeleteAsync) or the error it ended with.
    virtual Outcome<RetrievalResultRef> wait_for_results(const RetrievalOperationRef& operation) = 0;
    virtual Outcome<OperationResultRef> wait_for_results(const SignOperationRef& operation) = 0;
    virtual Outcome<void> wait_for_results(const DeleteOperationRef& operation) = 0;
    virtual Outcome<bool> wait_for_results(const SupportOperationRef& operation) = 0;

    // KeyCredentialRetrievalResult / KeyCredentialOperationResult.
    virtual Outcome<std::int32_t> Status(const RetrievalResultRef& result) = 0;
    virtual Outcome<std::int32_t> Status(const OperationResultRef& result) = 0;
    virtual Outcome<CredentialRef> Credential(const RetrievalResultRef& result) = 0;
    virtual Outcome<BufferRef> Result(const OperationResultRef& result) = 0;

    // KeyCredential.
    virtual Outcome<BufferRef> RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) = 0;
    virtual Outcome<BufferRef> RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                             CryptographicPublicKeyBlobType blob_type) = 0;
    virtual Outcome<SignOperationRef> RequestSignAsync(const CredentialRef& credential, const BufferRef& data) = 0;

    // IBuffer.
    virtual Outcome<std::uint32_t> Length(const BufferRef& buffer) = 0;

    // CryptographicBuffer statics.
    virtual Outcome<BufferRef> CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) = 0;
    // Replaces `array` with a new platform array of the buffer's bytes; the caller
    // frees that with free_array. The array passed in is not freed by the call.
    virtual Outcome<void> CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) = 0;
    virtual Outcome<StringRef> EncodeToBase64String(const BufferRef& buffer) = 0;

    // The calls of applications (biometric_keys). The window-taking calls fall back to
    // the plain ones where a platform has no owner window; the others are E_NOTIMPL
    // where a platform does not implement them.
    virtual Outcome<RetrievalOperationRef> RequestCreateForWindowAsync(WindowHandle window, const StringRef& name,
                                                                       KeyCredentialCreationOption option);
    virtual Outcome<SignOperationRef> RequestSignForWindowAsync(WindowHandle window, const CredentialRef& credential,
                                                                const BufferRef& data);
    // UserConsentVerifier.
    virtual Outcome<AvailabilityOperationRef> CheckAvailabilityAsync();
    virtual Outcome<VerificationOperationRef> RequestVerificationForWindowAsync(WindowHandle window,
                                                                                const StringRef& message);
    virtual Outcome<AttestationOperationRef> GetAttestationAsync(const CredentialRef& credential);
    // As the waits above; a request that a wait gave up on (check_wait: Ctrl-C or the
    // request's deadline) is cancelled and ends with an error.
    virtual Outcome<std::int32_t> wait_for_results(const AvailabilityOperationRef& operation);
    virtual Outcome<std::int32_t> wait_for_results(const VerificationOperationRef& operation);
    virtual Outcome<AttestationResultRef> wait_for_results(const AttestationOperationRef& operation);
    // KeyCredentialAttestationResult.
    virtual Outcome<std::int32_t> Status(const AttestationResultRef& result);
    virtual Outcome<BufferRef> CertificateChainBuffer(const AttestationResultRef& result);
    virtual Outcome<BufferRef> AttestationBuffer(const AttestationResultRef& result);
    // Why the availability is what it is now, in words for a person; empty where the
    // availability says all there is. Blocks as CheckAvailabilityAsync and its wait do.
    virtual std::string availability_reason() { return {}; }

    // Platform memory for receiving arrays: zero-filled, null when it cannot be had.
    virtual std::uint8_t* allocate_array(std::uint32_t length) noexcept = 0;
    virtual void free_array(std::uint8_t* data) noexcept = 0;

    // Gives up the one reference a PlatformRef holds. Not called for null.
    virtual void release(ObjectKind kind, void* raw) noexcept = 0;

protected:
    template <ObjectKind Kind>
    PlatformRef<Kind> adopt(void* raw) noexcept {
        return PlatformRef<Kind>(*this, raw);
    }

private:
    std::string choice_warning_;
    std::atomic<bool> choice_warned_{false};
};

template <ObjectKind Kind>
void PlatformRef<Kind>::reset() noexcept {
    if (void* raw = std::exchange(raw_, nullptr)) platform_->release(Kind, raw);
}

// A receiving array owned in platform memory, freed once when its holder ends.
class PlatformArray {
public:
    PlatformArray(KeyCredentialPlatform& platform, ReceivingArray array) noexcept
        : platform_(&platform), array_(array) {}
    PlatformArray(const PlatformArray&) = delete;
    PlatformArray& operator=(const PlatformArray&) = delete;
    ~PlatformArray() { reset(); }

    const ReceivingArray& get() const noexcept { return array_; }
    void reset() noexcept {
        if (array_.data != nullptr) platform_->free_array(std::exchange(array_.data, nullptr));
        array_.length = 0;
    }

private:
    KeyCredentialPlatform* platform_;
    ReceivingArray array_;
};

// The text that the platform attached to the error that the calling thread's last call
// below ended with, when that error's code is `code`: the store's account of a directory
// it refuses, say. Empty when there is none; taken once.
std::string take_failure_text(CredentialErrorCode code);

// Either the Base64 text of the new credential's public key, or the code.
using EnrolmentResult = std::variant<std::string, CredentialErrorCode>;
// Either the signature, or the code.
using SigningResult = std::variant<std::vector<std::uint8_t>, CredentialErrorCode>;

// Creates a key credential under `name` (failing if one exists), then reads and
// encodes its public key. Raises only internal faults.
EnrolmentResult enrol_credential(KeyCredentialPlatform& platform, TextView name);

// Opens the credential under `key_name` and has the platform sign `data` with it, the
// prompt owned by `window` when one is given.
SigningResult sign_with_credential(KeyCredentialPlatform& platform, TextView key_name, ByteView data,
                                   WindowHandle window = 0);

// A credential opened once for several requests: its public key, and signatures.
class OpenedCredential {
public:
    // Opens the credential under `key_name` (no one is asked).
    static std::variant<OpenedCredential, CredentialErrorCode> open(KeyCredentialPlatform& platform,
                                                                     TextView key_name);
    OpenedCredential(OpenedCredential&&) noexcept = default;
    OpenedCredential& operator=(OpenedCredential&&) noexcept = default;

    // DER SubjectPublicKeyInfo.
    std::variant<std::vector<std::uint8_t>, CredentialErrorCode> public_key();
    // As sign_with_credential, on this credential.
    SigningResult sign(ByteView data, WindowHandle window);

private:
    explicit OpenedCredential(KeyCredentialPlatform& platform) noexcept : platform_(&platform) {}
    KeyCredentialPlatform* platform_;
    // Released in reverse: the credential, its retrieval result, the name.
    StringRef name_;
    RetrievalResultRef retrieval_;
    CredentialRef credential_;
};

// Either the DER SubjectPublicKeyInfo of the new credential's public key, or the code.
using CreationResult = std::variant<std::vector<std::uint8_t>, CredentialErrorCode>;
// Creates a key credential under `name` (replacing or failing as `option` says), the
// prompt owned by `window` when one is given, and reads its public key.
CreationResult create_credential(KeyCredentialPlatform& platform, TextView name, KeyCredentialCreationOption option,
                                 WindowHandle window);

// A UserConsent value (UserConsentVerifierAvailability or UserConsentVerificationResult).
struct ConsentAnswer {
    std::int32_t value;
};
using ConsentResult = std::variant<ConsentAnswer, CredentialErrorCode>;
// Whether the platform can verify the user now.
ConsentResult check_availability(KeyCredentialPlatform& platform);
// Asks the platform to verify the user, showing `message`, owned by `window`.
ConsentResult verify_consent(KeyCredentialPlatform& platform, TextView message, WindowHandle window);

// A credential's key attestation: status, and the two buffers (empty unless Success).
struct KeyAttestation {
    std::int32_t status = KeyCredentialAttestationStatus_UnknownError;
    std::vector<std::uint8_t> certificate_chain;
    std::vector<std::uint8_t> attestation;
};
using AttestationOutcome = std::variant<KeyAttestation, CredentialErrorCode>;
// Opens the credential under `key_name` and reads its attestation.
AttestationOutcome read_attestation(KeyCredentialPlatform& platform, TextView key_name);

// Either the DER SubjectPublicKeyInfo of the credential's public key, or the code.
using PublicKeyResult = std::variant<std::vector<std::uint8_t>, CredentialErrorCode>;
// Either the platform's answer, or the code.
using SupportResult = std::variant<bool, CredentialErrorCode>;

// Opens the credential under `key_name` and reads its public key. Neither step verifies
// the user.
PublicKeyResult read_public_key(KeyCredentialPlatform& platform, TextView key_name);

// Removes the credential under `key_name`: nothing, or the code (a name that is not
// enrolled is the platform's error).
std::optional<CredentialErrorCode> delete_credential(KeyCredentialPlatform& platform, TextView key_name);

// Whether the platform can make and use key credentials on this device.
SupportResult check_support(KeyCredentialPlatform& platform);

// The platform the module uses: the Windows Runtime on Windows; elsewhere the TPM
// platform or the stand-in, as the machine and BIOMETRIC_PLATFORM say (each platform
// library provides this in its own source file). Made once, when it is first asked for,
// with the interpreter lock held.
KeyCredentialPlatform& default_platform();

}  // namespace bio
