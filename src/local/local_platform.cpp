#include "local/local_platform.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "local/credential_store.h"
#include "runtime/fault.h"

namespace bio::local {
namespace {

// Standard Base64 with padding, no line breaks.
std::string base64_encode(const std::uint8_t* data, std::size_t size) {
    // EVP_EncodeBlock takes an int length: whole 3-byte groups at a time keep every
    // piece but the last free of padding.
    constexpr std::size_t kPiece = 3 * (std::size_t{1} << 20);
    const std::size_t encoded = (size + 2) / 3 * 4;
    std::string text(encoded + 1, '\0');  // room for the terminator the library writes
    std::size_t at = 0;
    for (std::size_t done = 0; done < size;) {
        std::size_t piece = std::min(size - done, kPiece);
        int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data() + at), data + done,
                                      static_cast<int>(piece));
        at += static_cast<std::size_t>(written);
        done += piece;
    }
    text.resize(at);
    return text;
}

}  // namespace
namespace {

constexpr std::int32_t kE_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000Eu);
constexpr std::int32_t kNTE_NOT_SUPPORTED = static_cast<std::int32_t>(0x80090029u);

std::atomic<long> g_live_objects{0};

struct RetrievalData {
    std::int32_t status = KeyCredentialStatus_Success;
    LocalCredentialPtr credential;  // Success only
};

struct OperationData {
    std::int32_t status = KeyCredentialStatus_Success;
    SharedBytes signature;  // Success only
};

// A removal has no result beyond its success.
struct DeletionData {};

struct AttestationData {
    std::int32_t status = KeyCredentialAttestationStatus_NotSupported;
    SharedBytes chain = std::make_shared<const std::vector<std::uint8_t>>();
    SharedBytes attestation = std::make_shared<const std::vector<std::uint8_t>>();
};

// How a request ended: its result, or the failure that its await reports. The failure
// is kept as code and text so that every await can report it afresh.
template <class Data>
struct Completion {
    std::shared_ptr<const Data> result;
    std::int32_t error_code = 0;
    std::string error_text;

    static Completion failed(PlatformError& error) {
        Completion c;
        c.error_code = error.code();
        if (error.info() != nullptr) c.error_text = error.info()->message();
        return c;
    }
    PlatformError error() const {
        if (error_text.empty()) return PlatformError(error_code);
        return PlatformError::with_text(error_code, error_text);
    }
};

template <class Data>
Completion<Data> completed(Data data) {
    Completion<Data> c;
    c.result = std::make_shared<const Data>(std::move(data));
    return c;
}

// Every handle is one of these; release() checks the kind before freeing.
struct Object {
    explicit Object(ObjectKind k) noexcept : kind(k) { g_live_objects.fetch_add(1, std::memory_order_relaxed); }
    virtual ~Object() { g_live_objects.fetch_sub(1, std::memory_order_relaxed); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    const ObjectKind kind;
};

template <ObjectKind Kind, class T>
struct Holder final : Object {
    explicit Holder(T v) : Object(Kind), value(std::move(v)) {}
    T value;
};

template <ObjectKind Kind> struct Payload;
template <> struct Payload<ObjectKind::String> { using type = std::string; };
template <> struct Payload<ObjectKind::RetrievalOperation> { using type = Completion<RetrievalData>; };
template <> struct Payload<ObjectKind::RetrievalResult> { using type = std::shared_ptr<const RetrievalData>; };
template <> struct Payload<ObjectKind::Credential> { using type = LocalCredentialPtr; };
template <> struct Payload<ObjectKind::SignOperation> { using type = Completion<OperationData>; };
template <> struct Payload<ObjectKind::OperationResult> { using type = std::shared_ptr<const OperationData>; };
template <> struct Payload<ObjectKind::Buffer> { using type = SharedBytes; };
template <> struct Payload<ObjectKind::DeleteOperation> { using type = Completion<DeletionData>; };
template <> struct Payload<ObjectKind::SupportOperation> { using type = Completion<bool>; };
template <> struct Payload<ObjectKind::AvailabilityOperation> { using type = Completion<std::int32_t>; };
template <> struct Payload<ObjectKind::VerificationOperation> { using type = Completion<std::int32_t>; };
template <> struct Payload<ObjectKind::AttestationOperation> { using type = Completion<AttestationData>; };
template <> struct Payload<ObjectKind::AttestationResult> { using type = std::shared_ptr<const AttestationData>; };

template <ObjectKind Kind>
using HolderOf = Holder<Kind, typename Payload<Kind>::type>;

// The payload behind a handle; null for the null handle.
template <ObjectKind Kind>
const typename Payload<Kind>::type* payload(const PlatformRef<Kind>& ref) noexcept {
    if (!ref) return nullptr;
    return &static_cast<const HolderOf<Kind>*>(static_cast<const Object*>(ref.get()))->value;
}

// A new object for a handle; the caller adopts it at once.
template <ObjectKind Kind>
void* new_object(typename Payload<Kind>::type value) {
    return static_cast<Object*>(new HolderOf<Kind>(std::move(value)));
}

// The result of an operation's completion, or the failure it completed with.
template <class Data>
const Data* settled(const Completion<Data>* completion, PlatformError& error) {
    if (completion == nullptr) {
        error = PlatformError::with_text(E_POINTER_CODE, "a null object was passed");
        return nullptr;
    }
    if (!completion->result) error = completion->error();
    return completion->result.get();
}

}  // namespace

template <ObjectKind Kind, class T>
PlatformRef<Kind> LocalPlatform::make(T value) {
    return adopt<Kind>(new_object<Kind>(std::move(value)));
}

PlatformError LocalPlatform::null_argument() {
    return PlatformError::with_text(E_POINTER_CODE, "a null object was passed");
}

const LocalCredential* LocalPlatform::credential_of(const CredentialRef& credential) noexcept {
    const LocalCredentialPtr* held = payload(credential);
    return held != nullptr ? held->get() : nullptr;
}

const std::vector<std::uint8_t>* LocalPlatform::bytes_of(const BufferRef& buffer) noexcept {
    const SharedBytes* held = payload(buffer);
    return held != nullptr ? held->get() : nullptr;
}

long LocalPlatform::live_objects() noexcept { return g_live_objects.load(std::memory_order_relaxed); }

RetrievalOperationRef LocalPlatform::retrieval_done(std::int32_t status, LocalCredentialPtr credential) {
    return make<ObjectKind::RetrievalOperation>(completed(RetrievalData{status, std::move(credential)}));
}

AttestationOperationRef LocalPlatform::attestation_done(std::int32_t status, std::vector<std::uint8_t> chain,
                                                       std::vector<std::uint8_t> attestation) {
    return make<ObjectKind::AttestationOperation>(
        completed(AttestationData{status, std::make_shared<const std::vector<std::uint8_t>>(std::move(chain)),
                                  std::make_shared<const std::vector<std::uint8_t>>(std::move(attestation))}));
}

AttestationOperationRef LocalPlatform::attestation_failed(PlatformError& error) {
    return make<ObjectKind::AttestationOperation>(Completion<AttestationData>::failed(error));
}

RetrievalOperationRef LocalPlatform::retrieval_failed(PlatformError& error) {
    return make<ObjectKind::RetrievalOperation>(Completion<RetrievalData>::failed(error));
}

SignOperationRef LocalPlatform::signing_done(std::int32_t status, std::vector<std::uint8_t> signature) {
    SharedBytes bytes;
    if (status == KeyCredentialStatus_Success) bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(signature));
    return make<ObjectKind::SignOperation>(completed(OperationData{status, std::move(bytes)}));
}

DeleteOperationRef LocalPlatform::deletion_done() {
    return make<ObjectKind::DeleteOperation>(completed(DeletionData{}));
}

DeleteOperationRef LocalPlatform::deletion_failed(PlatformError& error) {
    return make<ObjectKind::DeleteOperation>(Completion<DeletionData>::failed(error));
}

DeleteOperationRef LocalPlatform::remove_from_store(Outcome<std::string> directory, const std::string& name) {
    if (!directory.ok()) return deletion_failed(directory.error());
    Outcome<bool> removed = CredentialStore(std::move(directory.value())).remove(name);
    if (!removed.ok()) return deletion_failed(removed.error());
    if (!removed.value()) {
        PlatformError not_found = PlatformError::with_text(KeyCredentialStatus_NotFound, "no key credential of that name");
        return deletion_failed(not_found);
    }
    return deletion_done();
}

SupportOperationRef LocalPlatform::support_done(bool supported) {
    return make<ObjectKind::SupportOperation>(completed(supported));
}

AvailabilityOperationRef LocalPlatform::availability_done(Outcome<std::int32_t> availability) {
    if (!availability.ok()) {
        return make<ObjectKind::AvailabilityOperation>(Completion<std::int32_t>::failed(availability.error()));
    }
    return make<ObjectKind::AvailabilityOperation>(completed(availability.value()));
}

VerificationOperationRef LocalPlatform::verification_done(Outcome<std::int32_t> result) {
    if (!result.ok()) {
        return make<ObjectKind::VerificationOperation>(Completion<std::int32_t>::failed(result.error()));
    }
    return make<ObjectKind::VerificationOperation>(completed(result.value()));
}

StringRef LocalPlatform::create_string(TextView utf8) {
    // The empty string is the null handle.
    if (utf8.empty()) return StringRef();
    return make<ObjectKind::String>(std::string(utf8));
}

std::string LocalPlatform::string_text(const StringRef& string) {
    const std::string* text = payload(string);
    return text != nullptr ? *text : std::string();
}

Outcome<RetrievalResultRef> LocalPlatform::wait_for_results(const RetrievalOperationRef& operation) {
    PlatformError error;
    const RetrievalData* data = settled(payload(operation), error);
    if (data == nullptr) return error;
    return make<ObjectKind::RetrievalResult>(payload(operation)->result);
}

Outcome<OperationResultRef> LocalPlatform::wait_for_results(const SignOperationRef& operation) {
    PlatformError error;
    const OperationData* data = settled(payload(operation), error);
    if (data == nullptr) return error;
    return make<ObjectKind::OperationResult>(payload(operation)->result);
}

Outcome<void> LocalPlatform::wait_for_results(const DeleteOperationRef& operation) {
    PlatformError error;
    if (settled(payload(operation), error) == nullptr) return error;
    return {};
}

Outcome<bool> LocalPlatform::wait_for_results(const SupportOperationRef& operation) {
    PlatformError error;
    const bool* supported = settled(payload(operation), error);
    if (supported == nullptr) return error;
    return *supported;
}

Outcome<std::int32_t> LocalPlatform::wait_for_results(const AvailabilityOperationRef& operation) {
    PlatformError error;
    const std::int32_t* value = settled(payload(operation), error);
    if (value == nullptr) return error;
    return *value;
}

Outcome<std::int32_t> LocalPlatform::wait_for_results(const VerificationOperationRef& operation) {
    PlatformError error;
    const std::int32_t* value = settled(payload(operation), error);
    if (value == nullptr) return error;
    return *value;
}

Outcome<AttestationResultRef> LocalPlatform::wait_for_results(const AttestationOperationRef& operation) {
    PlatformError error;
    if (settled(payload(operation), error) == nullptr) return error;
    return make<ObjectKind::AttestationResult>(payload(operation)->result);
}

Outcome<std::int32_t> LocalPlatform::Status(const RetrievalResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<std::int32_t> LocalPlatform::Status(const OperationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<CredentialRef> LocalPlatform::Credential(const RetrievalResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    // A result that is not Success has no credential.
    if (!(*data)->credential) return CredentialRef();
    return make<ObjectKind::Credential>((*data)->credential);
}

Outcome<BufferRef> LocalPlatform::Result(const OperationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    if (!(*data)->signature) return BufferRef();
    return make<ObjectKind::Buffer>((*data)->signature);
}

Outcome<BufferRef> LocalPlatform::RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) {
    return RetrievePublicKeyWithBlobType(credential, CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo);
}

Outcome<BufferRef> LocalPlatform::RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                                CryptographicPublicKeyBlobType blob_type) {
    const LocalCredential* held = credential_of(credential);
    if (held == nullptr) return null_argument();
    if (blob_type != CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo) {
        return PlatformError::with_text(kNTE_NOT_SUPPORTED, "public keys are given as X509SubjectPublicKeyInfo only");
    }
    return make<ObjectKind::Buffer>(held->public_key);
}

Outcome<AttestationOperationRef> LocalPlatform::GetAttestationAsync(const CredentialRef& credential) {
    if (credential_of(credential) == nullptr) return null_argument();
    return make<ObjectKind::AttestationOperation>(completed(AttestationData{}));
}

Outcome<std::int32_t> LocalPlatform::Status(const AttestationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<BufferRef> LocalPlatform::CertificateChainBuffer(const AttestationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return make<ObjectKind::Buffer>((*data)->chain);
}

Outcome<BufferRef> LocalPlatform::AttestationBuffer(const AttestationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return make<ObjectKind::Buffer>((*data)->attestation);
}

Outcome<std::uint32_t> LocalPlatform::Length(const BufferRef& buffer) {
    const std::vector<std::uint8_t>* bytes = bytes_of(buffer);
    if (bytes == nullptr) return null_argument();
    // Buffers are made from a 32-bit length or are small, so the size fits.
    return static_cast<std::uint32_t>(bytes->size());
}

Outcome<BufferRef> LocalPlatform::CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) {
    if (bytes == nullptr && length != 0) return null_argument();
    auto copy = std::make_shared<std::vector<std::uint8_t>>();
    if (length != 0) copy->assign(bytes, bytes + length);
    return make<ObjectKind::Buffer>(std::move(copy));
}

Outcome<void> LocalPlatform::CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) {
    const std::vector<std::uint8_t>* source = bytes_of(buffer);
    if (source == nullptr) return null_argument();
    if (source->empty()) {
        array = ReceivingArray{};
        return {};
    }
    std::uint8_t* copy = allocate_array(static_cast<std::uint32_t>(source->size()));
    if (copy == nullptr) return PlatformError::with_text(kE_OUTOFMEMORY, "cannot allocate the array");
    std::memcpy(copy, source->data(), source->size());
    array = ReceivingArray{copy, static_cast<std::uint32_t>(source->size())};
    return {};
}

Outcome<StringRef> LocalPlatform::EncodeToBase64String(const BufferRef& buffer) {
    const std::vector<std::uint8_t>* bytes = bytes_of(buffer);
    if (bytes == nullptr) return null_argument();
    return create_string(base64_encode(bytes->data(), bytes->size()));
}

std::uint8_t* LocalPlatform::allocate_array(std::uint32_t length) noexcept {
    // A zero-length array still gets its own block, so that null only ever means failure.
    return static_cast<std::uint8_t*>(std::calloc(length != 0 ? length : 1, 1));
}

void LocalPlatform::free_array(std::uint8_t* data) noexcept { std::free(data); }

void LocalPlatform::release(ObjectKind kind, void* raw) noexcept {
    auto* object = static_cast<Object*>(raw);
    if (object->kind != kind) raise_fault_nounwind("a platform object was released as the wrong kind");
    delete object;
}

}  // namespace bio::local
