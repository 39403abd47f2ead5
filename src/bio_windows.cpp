#include "bio_windows.h"

#include <limits>

#include "runtime/fault.h"

// The helpers below run once or more for every platform call; as out-of-line calls they
// cost as much as the calls themselves on a platform that answers at once.
#if defined(_MSC_VER)
#define BIO_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__)
#define BIO_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define BIO_ALWAYS_INLINE inline
#endif

namespace bio {
namespace {

// The text of the last failure a platform call ended with on this thread
// (take_failure_text).
struct FailureText {
    CredentialErrorCode code = 0;
    std::string text;
};
thread_local FailureText t_failure;

// The code of a failed platform call. The text a platform attached to the error itself
// (TextErrorInfo: the store's account of a directory it refuses, say) is kept for
// take_failure_text; the system's texts for codes are not, the code says as much.
CredentialErrorCode failure_code(const PlatformError& error) {
    const auto* attached = dynamic_cast<const TextErrorInfo*>(error.info());
    t_failure.code = error.code();
    t_failure.text = attached != nullptr ? attached->message() : std::string();
    return t_failure.code;
}

// Takes the object out of an outcome, or the code that ends the operation: the error's
// code, or 0 when the call succeeded without an object (the platform may hand back a
// null object on success).
template <ObjectKind Kind>
BIO_ALWAYS_INLINE std::optional<CredentialErrorCode> take(Outcome<PlatformRef<Kind>>&& outcome,
                                                          PlatformRef<Kind>& into) {
    if (!outcome.ok()) return failure_code(outcome.error());
    into = std::move(outcome.value());
    if (!into) return 0;
    return std::nullopt;
}

// Reads a Status; a status other than Success is read a second time and that second
// read decides the code.
template <class ResultRef>
BIO_ALWAYS_INLINE std::optional<CredentialErrorCode> check_status(KeyCredentialPlatform& platform,
                                                                  const ResultRef& result) {
    Outcome<std::int32_t> status = platform.Status(result);
    if (!status.ok()) return failure_code(status.error());
    if (status.value() == KeyCredentialStatus_Success) return std::nullopt;
    Outcome<std::int32_t> again = platform.Status(result);
    if (!again.ok()) return failure_code(again.error());
    return again.value();
}

// Opens the credential under `name`: the open request, its wait and status, then the
// credential itself. The retrieval result stays with the caller, released after the
// credential.
std::optional<CredentialErrorCode> open_credential(KeyCredentialPlatform& platform, const StringRef& name,
                                                   RetrievalResultRef& retrieval, CredentialRef& credential) {
    {
        RetrievalOperationRef operation;
        if (auto code = take(platform.OpenAsync(name), operation)) return *code;
        // The operation is released as soon as its result has been taken.
        if (auto code = take(platform.wait_for_results(operation), retrieval)) return *code;
    }
    if (auto code = check_status(platform, retrieval)) return *code;
    return take(platform.Credential(retrieval), credential);
}

// The bytes of `buffer`, through a receiving array of the platform's own.
std::variant<std::vector<std::uint8_t>, CredentialErrorCode> buffer_bytes(KeyCredentialPlatform& platform,
                                                                          const BufferRef& buffer) {
    ReceivingArray received;
    Outcome<void> copied = platform.CopyToByteArray(buffer, received);
    PlatformArray bytes(platform, received);
    if (!copied.ok()) return failure_code(copied.error());
    std::vector<std::uint8_t> out;
    if (received.length != 0) out.assign(received.data, received.data + received.length);
    return out;
}

// Asks the platform to create a credential under `name`, the prompt owned by `window`
// when one is given, and waits for the retrieval result, whose status it checks. The
// operation is released as soon as its result has been taken.
BIO_ALWAYS_INLINE std::optional<CredentialErrorCode> request_creation(KeyCredentialPlatform& platform,
                                                                      const StringRef& name,
                                                                      KeyCredentialCreationOption option,
                                                                      WindowHandle window,
                                                                      RetrievalResultRef& retrieval) {
    {
        RetrievalOperationRef operation;
        auto created = window != 0 ? platform.RequestCreateForWindowAsync(window, name, option)
                                   : platform.RequestCreateAsync(name, option);
        if (auto code = take(std::move(created), operation)) return *code;
        if (auto code = take(platform.wait_for_results(operation), retrieval)) return *code;
    }
    return check_status(platform, retrieval);
}

SigningResult sign_opened(KeyCredentialPlatform& platform, const CredentialRef& credential, ByteView data,
                          WindowHandle window);

// The public key of an open credential, as DER SubjectPublicKeyInfo.
std::variant<std::vector<std::uint8_t>, CredentialErrorCode> public_key_of(KeyCredentialPlatform& platform,
                                                                           const CredentialRef& credential) {
    BufferRef public_key;
    auto retrieved =
        platform.RetrievePublicKeyWithBlobType(credential, CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo);
    if (auto code = take(std::move(retrieved), public_key)) return *code;
    return buffer_bytes(platform, public_key);
}

PlatformError not_implemented() {
    return PlatformError::with_text(E_NOTIMPL_CODE, "this platform does not implement the call");
}

}  // namespace

std::string take_failure_text(CredentialErrorCode code) {
    if (t_failure.text.empty() || t_failure.code != code) return {};
    return std::exchange(t_failure.text, std::string());
}

Outcome<RetrievalOperationRef> KeyCredentialPlatform::RequestCreateForWindowAsync(WindowHandle, const StringRef& name,
                                                                                  KeyCredentialCreationOption option) {
    return RequestCreateAsync(name, option);
}

Outcome<SignOperationRef> KeyCredentialPlatform::RequestSignForWindowAsync(WindowHandle, const CredentialRef& credential,
                                                                           const BufferRef& data) {
    return RequestSignAsync(credential, data);
}

Outcome<AvailabilityOperationRef> KeyCredentialPlatform::CheckAvailabilityAsync() { return not_implemented(); }
Outcome<VerificationOperationRef> KeyCredentialPlatform::RequestVerificationForWindowAsync(WindowHandle,
                                                                                           const StringRef&) {
    return not_implemented();
}
Outcome<AttestationOperationRef> KeyCredentialPlatform::GetAttestationAsync(const CredentialRef&) {
    return not_implemented();
}
Outcome<std::int32_t> KeyCredentialPlatform::wait_for_results(const AvailabilityOperationRef&) {
    return not_implemented();
}
Outcome<std::int32_t> KeyCredentialPlatform::wait_for_results(const VerificationOperationRef&) {
    return not_implemented();
}
Outcome<AttestationResultRef> KeyCredentialPlatform::wait_for_results(const AttestationOperationRef&) {
    return not_implemented();
}
Outcome<std::int32_t> KeyCredentialPlatform::Status(const AttestationResultRef&) { return not_implemented(); }
Outcome<BufferRef> KeyCredentialPlatform::CertificateChainBuffer(const AttestationResultRef&) {
    return not_implemented();
}
Outcome<BufferRef> KeyCredentialPlatform::AttestationBuffer(const AttestationResultRef&) { return not_implemented(); }

CreationResult create_credential(KeyCredentialPlatform& platform, TextView name, KeyCredentialCreationOption option,
                                 WindowHandle window) {
    StringRef name_string = platform.create_string(name);

    RetrievalResultRef retrieval;
    if (auto code = request_creation(platform, name_string, option, window, retrieval)) return *code;

    BufferRef public_key;
    {
        CredentialRef credential;
        if (auto code = take(platform.Credential(retrieval), credential)) return *code;
        auto retrieved =
            platform.RetrievePublicKeyWithBlobType(credential, CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo);
        if (auto code = take(std::move(retrieved), public_key)) return *code;
    }
    return buffer_bytes(platform, public_key);
}

ConsentResult check_availability(KeyCredentialPlatform& platform) {
    AvailabilityOperationRef operation;
    if (auto code = take(platform.CheckAvailabilityAsync(), operation)) return *code;
    Outcome<std::int32_t> answer = platform.wait_for_results(operation);
    if (!answer.ok()) return failure_code(answer.error());
    return ConsentAnswer{answer.value()};
}

ConsentResult verify_consent(KeyCredentialPlatform& platform, TextView message, WindowHandle window) {
    StringRef message_string = platform.create_string(message);
    VerificationOperationRef operation;
    if (auto code = take(platform.RequestVerificationForWindowAsync(window, message_string), operation)) return *code;
    Outcome<std::int32_t> answer = platform.wait_for_results(operation);
    if (!answer.ok()) return failure_code(answer.error());
    return ConsentAnswer{answer.value()};
}

AttestationOutcome read_attestation(KeyCredentialPlatform& platform, TextView key_name) {
    StringRef name_string = platform.create_string(key_name);
    AttestationResultRef attested;
    {
        RetrievalResultRef retrieval;
        CredentialRef credential;
        if (auto code = open_credential(platform, name_string, retrieval, credential)) return *code;
        AttestationOperationRef operation;
        if (auto code = take(platform.GetAttestationAsync(credential), operation)) return *code;
        if (auto code = take(platform.wait_for_results(operation), attested)) return *code;
    }
    Outcome<std::int32_t> status = platform.Status(attested);
    if (!status.ok()) return failure_code(status.error());
    KeyAttestation attestation;
    attestation.status = status.value();
    if (attestation.status != KeyCredentialAttestationStatus_Success) return attestation;
    for (auto [read, into] : {std::pair{&KeyCredentialPlatform::CertificateChainBuffer, &attestation.certificate_chain},
                              std::pair{&KeyCredentialPlatform::AttestationBuffer, &attestation.attestation}}) {
        BufferRef buffer;
        if (auto code = take((platform.*read)(attested), buffer)) return *code;
        auto bytes = buffer_bytes(platform, buffer);
        if (auto* code = std::get_if<CredentialErrorCode>(&bytes)) return *code;
        *into = std::move(std::get<std::vector<std::uint8_t>>(bytes));
    }
    return attestation;
}

EnrolmentResult enrol_credential(KeyCredentialPlatform& platform, TextView name) {
    StringRef name_string = platform.create_string(name);

    RetrievalResultRef retrieval;
    if (auto code = request_creation(platform, name_string, KeyCredentialCreationOption::FailIfExists, 0, retrieval)) {
        return *code;
    }

    BufferRef public_key;
    {
        CredentialRef credential;
        if (auto code = take(platform.Credential(retrieval), credential)) return *code;
        // The credential is released right after its public key has been retrieved.
        if (auto code = take(platform.RetrievePublicKeyWithDefaultBlobType(credential), public_key)) return *code;
    }

    Outcome<StringRef> encoded = platform.EncodeToBase64String(public_key);
    if (!encoded.ok()) return failure_code(encoded.error());
    // No string is the empty text.
    // Owners are locals, so the last made goes first: nothing outlives what it was made from.
    return platform.string_text(encoded.value());
}

SigningResult sign_with_credential(KeyCredentialPlatform& platform, TextView key_name, ByteView data,
                                   WindowHandle window) {
    StringRef name_string = platform.create_string(key_name);

    RetrievalResultRef retrieval;
    CredentialRef credential;
    if (auto code = open_credential(platform, name_string, retrieval, credential)) return *code;
    return sign_opened(platform, credential, data, window);
}

namespace {

// The signing request on an open credential: the data as a platform buffer, the request
// and its wait and status, and the signature's bytes through a prepared receiving array.
SigningResult sign_opened(KeyCredentialPlatform& platform, const CredentialRef& credential, ByteView data,
                          WindowHandle window) {
    if (data.size > std::numeric_limits<std::uint32_t>::max()) {
        raise_fault("called `Result::unwrap()` on an `Err` value: TryFromIntError(())");
    }
    BufferRef data_buffer;
    auto created = platform.CreateFromByteArray(static_cast<std::uint32_t>(data.size), data.data);
    if (auto code = take(std::move(created), data_buffer)) return *code;

    OperationResultRef signing;
    {
        SignOperationRef operation;
        auto requested = window != 0 ? platform.RequestSignForWindowAsync(window, credential, data_buffer)
                                     : platform.RequestSignAsync(credential, data_buffer);
        if (auto code = take(std::move(requested), operation)) return *code;
        if (auto code = take(platform.wait_for_results(operation), signing)) return *code;
    }
    if (auto code = check_status(platform, signing)) return *code;

    std::vector<std::uint8_t> signature;
    {
        BufferRef signature_buffer;
        if (auto code = take(platform.Result(signing), signature_buffer)) return *code;

        Outcome<std::uint32_t> length = platform.Length(signature_buffer);
        if (!length.ok()) {
            raise_fault("called `Result::unwrap()` on an `Err` value: " + length.error().debug_text());
        }
        if (length.value() == std::numeric_limits<std::uint32_t>::max()) {
            raise_fault("assertion failed: len < u32::MAX as usize");
        }

        // The receiving array is prepared at the signature's length, zero-filled.
        ReceivingArray prepared_array;
        if (length.value() != 0) {
            prepared_array.data = platform.allocate_array(length.value());
            if (prepared_array.data == nullptr) raise_fault("Could not successfully allocate for Array");
            prepared_array.length = length.value();
        }
        PlatformArray prepared(platform, prepared_array);

        ReceivingArray received = prepared_array;
        Outcome<void> copied = platform.CopyToByteArray(signature_buffer, received);
        // The call replaces the array with one of its own, which is ours to free; the
        // prepared block is not referenced after that and goes at once.
        const bool replaced = received.data != prepared_array.data;
        PlatformArray bytes(platform, replaced ? received : ReceivingArray{});
        if (replaced) {
            prepared.reset();
        } else if (received.length > prepared_array.length) {
            received.length = prepared_array.length;
        }
        if (!copied.ok()) return failure_code(copied.error());

        // A length of 0 is an empty signature, whatever the pointer.
        if (received.length != 0) signature.assign(received.data, received.data + received.length);
    }
    return signature;
}

}  // namespace

PublicKeyResult read_public_key(KeyCredentialPlatform& platform, TextView key_name) {
    StringRef name_string = platform.create_string(key_name);

    RetrievalResultRef retrieval;
    BufferRef public_key;
    {
        CredentialRef credential;
        if (auto code = open_credential(platform, name_string, retrieval, credential)) return *code;
        auto retrieved =
            platform.RetrievePublicKeyWithBlobType(credential, CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo);
        if (auto code = take(std::move(retrieved), public_key)) return *code;
    }

    // CopyToByteArray hands out an array of its own: nothing is prepared for it.
    return buffer_bytes(platform, public_key);
}

std::optional<CredentialErrorCode> delete_credential(KeyCredentialPlatform& platform, TextView key_name) {
    StringRef name_string = platform.create_string(key_name);
    DeleteOperationRef operation;
    if (auto code = take(platform.DeleteAsync(name_string), operation)) return *code;
    Outcome<void> deleted = platform.wait_for_results(operation);
    if (!deleted.ok()) return failure_code(deleted.error());
    return std::nullopt;
}

SupportResult check_support(KeyCredentialPlatform& platform) {
    SupportOperationRef operation;
    if (auto code = take(platform.IsSupportedAsync(), operation)) return *code;
    Outcome<bool> supported = platform.wait_for_results(operation);
    if (!supported.ok()) return failure_code(supported.error());
    return supported.value();
}

std::variant<OpenedCredential, CredentialErrorCode> OpenedCredential::open(KeyCredentialPlatform& platform,
                                                                          TextView key_name) {
    OpenedCredential opened(platform);
    opened.name_ = platform.create_string(key_name);
    if (auto code = open_credential(platform, opened.name_, opened.retrieval_, opened.credential_)) return *code;
    return opened;
}

std::variant<std::vector<std::uint8_t>, CredentialErrorCode> OpenedCredential::public_key() {
    return public_key_of(*platform_, credential_);
}

SigningResult OpenedCredential::sign(ByteView data, WindowHandle window) {
    return sign_opened(*platform_, credential_, data, window);
}

}  // namespace bio
