#include "standin/standin_platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "runtime/fault.h"
#include "runtime/interrupt.h"
#include "standin/credential_store.h"
#include "standin/key_cache.h"
#include "standin/rsa_key.h"
#include "standin/user_verification.h"

namespace bio {
namespace standin {
namespace {

constexpr std::int32_t kE_INVALIDARG = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kE_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000Eu);
constexpr std::int32_t kNTE_FAIL = static_cast<std::int32_t>(0x80090020u);
constexpr std::int32_t kNTE_NOT_SUPPORTED = static_cast<std::int32_t>(0x80090029u);

std::atomic<long> g_live_objects{0};

using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;
using Key = KeyCache::Key;

// A credential: its key, and its name for the verification prompt.
struct CredentialData {
    Key key;
    std::string name;
};
using CredentialPtr = std::shared_ptr<const CredentialData>;

struct RetrievalData {
    std::int32_t status = KeyCredentialStatus_Success;
    CredentialPtr credential;  // Success only
};

struct OperationData {
    std::int32_t status = KeyCredentialStatus_Success;
    Bytes signature;  // Success only
};

// A removal has no result beyond its success.
struct DeletionData {};

// The stand-in has no TPM: no key of it can be attested.
struct AttestationData {
    std::int32_t status = KeyCredentialAttestationStatus_NotSupported;
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
template <> struct Payload<ObjectKind::Credential> { using type = CredentialPtr; };
template <> struct Payload<ObjectKind::SignOperation> { using type = Completion<OperationData>; };
template <> struct Payload<ObjectKind::OperationResult> { using type = std::shared_ptr<const OperationData>; };
template <> struct Payload<ObjectKind::Buffer> { using type = Bytes; };
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

// Whether the request must stop now (runtime/interrupt.h).
bool request_cancelled() noexcept { return check_wait() != WaitVerdict::Continue; }

PlatformError null_argument() { return PlatformError::with_text(E_POINTER_CODE, "a null object was passed"); }

template <class Data>
Completion<Data> completed(Data data) {
    Completion<Data> c;
    c.result = std::make_shared<const Data>(std::move(data));
    return c;
}

Completion<RetrievalData> with_status(std::int32_t status) { return completed(RetrievalData{status, nullptr}); }

// The key with its public half encoded; null when it cannot be encoded.
Key load(PkeyPtr key) {
    std::string why;
    std::optional<std::vector<std::uint8_t>> der = public_key_der(key.get(), why);
    if (!der) return nullptr;
    return std::make_shared<const LoadedKey>(LoadedKey{std::shared_ptr<EVP_PKEY>(key.release(), PkeyDeleter()),
                                                       std::make_shared<const std::vector<std::uint8_t>>(std::move(*der))});
}

Completion<RetrievalData> found(Key key, std::string name) {
    auto credential = std::make_shared<const CredentialData>(CredentialData{std::move(key), std::move(name)});
    return completed(RetrievalData{KeyCredentialStatus_Success, std::move(credential)});
}

// A new object for a handle; the caller adopts it at once.
template <ObjectKind Kind>
void* new_object(typename Payload<Kind>::type value) {
    return static_cast<Object*>(new HolderOf<Kind>(std::move(value)));
}

}  // namespace

template <ObjectKind Kind, class T>
PlatformRef<Kind> StandinPlatform::make(T value) {
    return adopt<Kind>(new_object<Kind>(std::move(value)));
}

StandinPlatform::StandinPlatform(std::optional<std::string> store_directory)
    : store_directory_(std::move(store_directory)), keys_(std::make_unique<KeyCache>()) {
    initialize_library();
}

StandinPlatform::~StandinPlatform() = default;

std::size_t StandinPlatform::cached_keys() const { return keys_->size(); }

long StandinPlatform::live_objects() noexcept { return g_live_objects.load(std::memory_order_relaxed); }

Outcome<std::string> StandinPlatform::store_directory() const {
    if (store_directory_) return *store_directory_;
    return store_directory_from_environment();
}

std::span<const char* const> StandinPlatform::environment_variables() const noexcept {
    static constexpr const char* kNames[] = {kVerifyVariable, kDelayVariable, kAvailabilityVariable,
                                             kStoreDirectoryVariables[0], kStoreDirectoryVariables[1],
                                             kStoreDirectoryVariables[2]};
    // A platform with a directory of its own reads none of the store's variables.
    return store_directory_ ? std::span<const char* const>(kNames, 3) : std::span<const char* const>(kNames);
}

StringRef StandinPlatform::create_string(TextView utf8) {
    // The empty string is the null handle.
    if (utf8.empty()) return StringRef();
    return make<ObjectKind::String>(std::string(utf8));
}

std::string StandinPlatform::string_text(const StringRef& string) {
    const std::string* text = payload(string);
    return text != nullptr ? *text : std::string();
}

Outcome<RetrievalOperationRef> StandinPlatform::RequestCreateAsync(const StringRef& name,
                                                                   KeyCredentialCreationOption option) {
    if (option != KeyCredentialCreationOption::FailIfExists && option != KeyCredentialCreationOption::ReplaceExisting) {
        return PlatformError::with_text(kE_INVALIDARG, "unknown KeyCredentialCreationOption");
    }
    const bool replace = option == KeyCredentialCreationOption::ReplaceExisting;
    const std::string text = string_text(name);
    const auto finish = [&](Completion<RetrievalData> completion) -> Outcome<RetrievalOperationRef> {
        return make<ObjectKind::RetrievalOperation>(std::move(completion));
    };
    // The platform asks the user before it does anything.
    if (const std::int32_t verdict = verify_user(VerifiedRequest::Create, text); verdict != KeyCredentialStatus_Success) {
        return finish(with_status(verdict));
    }

    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return finish(Completion<RetrievalData>::failed(directory.error()));
    const CredentialStore store(std::move(directory.value()));

    // Generating a key takes a while: not for a name that is taken already.
    if (!replace) {
        Outcome<bool> exists = store.contains(text);
        if (!exists.ok()) return finish(Completion<RetrievalData>::failed(exists.error()));
        if (exists.value()) return finish(with_status(KeyCredentialStatus_CredentialAlreadyExists));
    }

    // A request cancelled (Ctrl-C, its deadline) while the key is made, or before the key
    // is stored, ends as the user's cancel would, with nothing made. Storing it is the
    // point after which the request takes effect: nothing is asked after that.
    std::string why;
    bool cancelled = false;
    PkeyPtr key = generate_key(why, request_cancelled, &cancelled);
    if (!key) return finish(with_status(cancelled ? KeyCredentialStatus_UserCanceled : KeyCredentialStatus_UnknownError));
    std::optional<SecretBytes> pem = private_key_pem(key.get(), why);
    if (!pem) return finish(with_status(KeyCredentialStatus_UnknownError));
    Key loaded = load(std::move(key));
    if (!loaded) return finish(with_status(KeyCredentialStatus_UnknownError));
    if (request_cancelled()) return finish(with_status(KeyCredentialStatus_UserCanceled));

    Outcome<bool> stored = store.create(text, *pem, replace);
    if (!stored.ok()) return finish(Completion<RetrievalData>::failed(stored.error()));
    // Another process created the name between the look-up and the link.
    if (!stored.value()) return finish(with_status(KeyCredentialStatus_CredentialAlreadyExists));
    return finish(found(std::move(loaded), text));
}

Outcome<RetrievalOperationRef> StandinPlatform::OpenAsync(const StringRef& name) {
    const auto finish = [&](Completion<RetrievalData> completion) -> Outcome<RetrievalOperationRef> {
        return make<ObjectKind::RetrievalOperation>(std::move(completion));
    };
    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return finish(Completion<RetrievalData>::failed(directory.error()));
    const CredentialStore store(std::move(directory.value()));

    const std::string text = string_text(name);
    // Before the file is looked at (key_cache.h).
    const KeyCache::Moment looked_at = KeyCache::now();
    Outcome<CredentialStore::Opened> opened = store.open(text);
    if (!opened.ok()) return finish(Completion<RetrievalData>::failed(opened.error()));
    switch (opened.value().state) {
        case CredentialStore::Loaded::NotFound: return finish(with_status(KeyCredentialStatus_NotFound));
        case CredentialStore::Loaded::Unreadable: return finish(with_status(KeyCredentialStatus_UnknownError));
        case CredentialStore::Loaded::Found: break;
    }
    const FileIdentity identity = opened.value().identity;
    if (Key key = keys_->find(identity)) return finish(found(std::move(key), text));

    const CredentialStore::Loaded loaded = CredentialStore::read(opened.value());
    if (loaded.state != CredentialStore::Loaded::Found) return finish(with_status(KeyCredentialStatus_UnknownError));
    std::string why;
    PkeyPtr parsed = parse_private_key_pem(loaded.pem.data(), loaded.pem.size(), why);
    if (!parsed) return finish(with_status(KeyCredentialStatus_UnknownError));
    Key key = load(std::move(parsed));
    if (!key) return finish(with_status(KeyCredentialStatus_UnknownError));
    keys_->insert(identity, key, looked_at);
    return finish(found(std::move(key), text));
}

Outcome<DeleteOperationRef> StandinPlatform::DeleteAsync(const StringRef& name) {
    const auto finish = [&](Completion<DeletionData> completion) -> Outcome<DeleteOperationRef> {
        return make<ObjectKind::DeleteOperation>(std::move(completion));
    };
    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return finish(Completion<DeletionData>::failed(directory.error()));
    const CredentialStore store(std::move(directory.value()));

    const std::string text = string_text(name);
    Outcome<bool> removed = store.remove(text);
    if (!removed.ok()) return finish(Completion<DeletionData>::failed(removed.error()));
    if (!removed.value()) {
        PlatformError not_found = PlatformError::with_text(KeyCredentialStatus_NotFound, "no key credential of that name");
        return finish(Completion<DeletionData>::failed(not_found));
    }
    return finish(completed(DeletionData{}));
}

Outcome<SupportOperationRef> StandinPlatform::IsSupportedAsync() {
    return make<ObjectKind::SupportOperation>(completed(true));
}

Outcome<RetrievalResultRef> StandinPlatform::wait_for_results(const RetrievalOperationRef& operation) {
    const Completion<RetrievalData>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return make<ObjectKind::RetrievalResult>(completion->result);
}

Outcome<OperationResultRef> StandinPlatform::wait_for_results(const SignOperationRef& operation) {
    const Completion<OperationData>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return make<ObjectKind::OperationResult>(completion->result);
}

Outcome<void> StandinPlatform::wait_for_results(const DeleteOperationRef& operation) {
    const Completion<DeletionData>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return {};
}

Outcome<bool> StandinPlatform::wait_for_results(const SupportOperationRef& operation) {
    const Completion<bool>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return *completion->result;
}

Outcome<std::int32_t> StandinPlatform::Status(const RetrievalResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<std::int32_t> StandinPlatform::Status(const OperationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<CredentialRef> StandinPlatform::Credential(const RetrievalResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    // A result that is not Success has no credential.
    if (!(*data)->credential) return CredentialRef();
    return make<ObjectKind::Credential>((*data)->credential);
}

Outcome<BufferRef> StandinPlatform::Result(const OperationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    if (!(*data)->signature) return BufferRef();
    return make<ObjectKind::Buffer>((*data)->signature);
}

Outcome<BufferRef> StandinPlatform::RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) {
    return RetrievePublicKeyWithBlobType(credential, CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo);
}

Outcome<BufferRef> StandinPlatform::RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                                  CryptographicPublicKeyBlobType blob_type) {
    const CredentialPtr* held = payload(credential);
    if (held == nullptr) return null_argument();
    if (blob_type != CryptographicPublicKeyBlobType::X509SubjectPublicKeyInfo) {
        return PlatformError::with_text(kNTE_NOT_SUPPORTED, "the stand-in gives public keys as X509SubjectPublicKeyInfo only");
    }
    return make<ObjectKind::Buffer>(Bytes((*held)->key->public_key));
}

Outcome<SignOperationRef> StandinPlatform::RequestSignAsync(const CredentialRef& credential, const BufferRef& data) {
    const CredentialPtr* held = payload(credential);
    const Bytes* bytes = payload(data);
    if (held == nullptr || bytes == nullptr) return null_argument();
    if (const std::int32_t verdict = verify_user(VerifiedRequest::Sign, (*held)->name);
        verdict != KeyCredentialStatus_Success) {
        return make<ObjectKind::SignOperation>(completed(OperationData{verdict, nullptr}));
    }
    std::string why;
    std::optional<std::vector<std::uint8_t>> signature =
        sign_sha256((*held)->key->key.get(), (*bytes)->data(), (*bytes)->size(), why);
    Completion<OperationData> completion =
        signature ? completed(OperationData{KeyCredentialStatus_Success,
                                            std::make_shared<const std::vector<std::uint8_t>>(std::move(*signature))})
                  : completed(OperationData{KeyCredentialStatus_UnknownError, nullptr});
    return make<ObjectKind::SignOperation>(std::move(completion));
}

Outcome<AvailabilityOperationRef> StandinPlatform::CheckAvailabilityAsync() {
    Outcome<std::int32_t> availability = check_availability();
    if (!availability.ok()) return make<ObjectKind::AvailabilityOperation>(Completion<std::int32_t>::failed(availability.error()));
    return make<ObjectKind::AvailabilityOperation>(completed(availability.value()));
}

Outcome<VerificationOperationRef> StandinPlatform::RequestVerificationForWindowAsync(WindowHandle,
                                                                                     const StringRef& message) {
    // There is no window to own a prompt here: the terminal asks, if anything does.
    Outcome<std::int32_t> answer = verify_consent(string_text(message));
    if (!answer.ok()) return make<ObjectKind::VerificationOperation>(Completion<std::int32_t>::failed(answer.error()));
    return make<ObjectKind::VerificationOperation>(completed(answer.value()));
}

Outcome<AttestationOperationRef> StandinPlatform::GetAttestationAsync(const CredentialRef& credential) {
    if (payload(credential) == nullptr) return null_argument();
    return make<ObjectKind::AttestationOperation>(completed(AttestationData{}));
}

Outcome<std::int32_t> StandinPlatform::wait_for_results(const AvailabilityOperationRef& operation) {
    const Completion<std::int32_t>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return *completion->result;
}

Outcome<std::int32_t> StandinPlatform::wait_for_results(const VerificationOperationRef& operation) {
    const Completion<std::int32_t>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return *completion->result;
}

Outcome<AttestationResultRef> StandinPlatform::wait_for_results(const AttestationOperationRef& operation) {
    const Completion<AttestationData>* completion = payload(operation);
    if (completion == nullptr) return null_argument();
    if (!completion->result) return completion->error();
    return make<ObjectKind::AttestationResult>(completion->result);
}

Outcome<std::int32_t> StandinPlatform::Status(const AttestationResultRef& result) {
    const auto* data = payload(result);
    if (data == nullptr) return null_argument();
    return (*data)->status;
}

Outcome<BufferRef> StandinPlatform::CertificateChainBuffer(const AttestationResultRef& result) {
    if (payload(result) == nullptr) return null_argument();
    return make<ObjectKind::Buffer>(std::make_shared<const std::vector<std::uint8_t>>());
}

Outcome<BufferRef> StandinPlatform::AttestationBuffer(const AttestationResultRef& result) {
    if (payload(result) == nullptr) return null_argument();
    return make<ObjectKind::Buffer>(std::make_shared<const std::vector<std::uint8_t>>());
}

Outcome<std::uint32_t> StandinPlatform::Length(const BufferRef& buffer) {
    const Bytes* bytes = payload(buffer);
    if (bytes == nullptr) return null_argument();
    // Buffers are made from a 32-bit length or are small, so the size fits.
    return static_cast<std::uint32_t>((*bytes)->size());
}

Outcome<BufferRef> StandinPlatform::CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) {
    if (bytes == nullptr && length != 0) return null_argument();
    auto copy = std::make_shared<std::vector<std::uint8_t>>();
    if (length != 0) copy->assign(bytes, bytes + length);
    return make<ObjectKind::Buffer>(std::move(copy));
}

Outcome<void> StandinPlatform::CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) {
    const Bytes* bytes = payload(buffer);
    if (bytes == nullptr) return null_argument();
    const std::vector<std::uint8_t>& source = **bytes;
    if (source.empty()) {
        array = ReceivingArray{};
        return {};
    }
    std::uint8_t* copy = allocate_array(static_cast<std::uint32_t>(source.size()));
    if (copy == nullptr) return PlatformError::with_text(kE_OUTOFMEMORY, "cannot allocate the array");
    std::memcpy(copy, source.data(), source.size());
    array = ReceivingArray{copy, static_cast<std::uint32_t>(source.size())};
    return {};
}

Outcome<StringRef> StandinPlatform::EncodeToBase64String(const BufferRef& buffer) {
    const Bytes* bytes = payload(buffer);
    if (bytes == nullptr) return null_argument();
    return create_string(base64_encode((*bytes)->data(), (*bytes)->size()));
}

std::uint8_t* StandinPlatform::allocate_array(std::uint32_t length) noexcept {
    // A zero-length array still gets its own block, so that null only ever means failure.
    return static_cast<std::uint8_t*>(std::calloc(length != 0 ? length : 1, 1));
}

void StandinPlatform::free_array(std::uint8_t* data) noexcept { std::free(data); }

void StandinPlatform::release(ObjectKind kind, void* raw) noexcept {
    auto* object = static_cast<Object*>(raw);
    if (object->kind != kind) raise_fault_nounwind("a platform object was released as the wrong kind");
    delete object;
}

}  // namespace standin

KeyCredentialPlatform& default_platform() {
    // Never destroyed: a daemon thread of the program may still be in a request while the
    // process exits, and the platform, its keys and the library stay for it.
    static standin::StandinPlatform& platform = *new standin::StandinPlatform;
    return platform;
}

}  // namespace bio
