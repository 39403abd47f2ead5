#include "fake_platform.h"

#include <cstdlib>
#include <cstring>

#include "runtime/allocation.h"

// Every operation opens an UnaccountedScope: what the fake allocates for its own
// bookkeeping is not the work of the code under test.

namespace bio::testing {

const char* op_name(Op op) {
    switch (op) {
        case Op::RequestCreateAsync: return "RequestCreateAsync";
        case Op::OpenAsync: return "OpenAsync";
        case Op::WaitRetrieval: return "wait_for_results(retrieval)";
        case Op::WaitSign: return "wait_for_results(sign)";
        case Op::StatusRetrieval: return "Status(retrieval)";
        case Op::StatusOperation: return "Status(operation)";
        case Op::Credential: return "Credential";
        case Op::RetrievePublicKeyWithDefaultBlobType: return "RetrievePublicKeyWithDefaultBlobType";
        case Op::RequestSignAsync: return "RequestSignAsync";
        case Op::Result: return "Result";
        case Op::Length: return "Length";
        case Op::CreateFromByteArray: return "CreateFromByteArray";
        case Op::CopyToByteArray: return "CopyToByteArray";
        case Op::EncodeToBase64String: return "EncodeToBase64String";
        case Op::RetrievePublicKeyWithBlobType: return "RetrievePublicKeyWithBlobType";
        case Op::DeleteAsync: return "DeleteAsync";
        case Op::IsSupportedAsync: return "IsSupportedAsync";
        case Op::WaitDelete: return "wait_for_results(delete)";
        case Op::WaitSupport: return "wait_for_results(support)";
        case Op::RequestCreateForWindowAsync: return "RequestCreateForWindowAsync";
        case Op::RequestSignForWindowAsync: return "RequestSignForWindowAsync";
        case Op::CheckAvailabilityAsync: return "CheckAvailabilityAsync";
        case Op::WaitAvailability: return "wait_for_results(availability)";
        case Op::RequestVerificationForWindowAsync: return "RequestVerificationForWindowAsync";
        case Op::WaitVerification: return "wait_for_results(verification)";
        case Op::GetAttestationAsync: return "GetAttestationAsync";
        case Op::WaitAttestation: return "wait_for_results(attestation)";
        case Op::StatusAttestation: return "Status(attestation)";
        case Op::CertificateChainBuffer: return "CertificateChainBuffer";
        case Op::AttestationBuffer: return "AttestationBuffer";
    }
    return "?";
}

const char* kind_name(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::String: return "String";
        case ObjectKind::RetrievalOperation: return "RetrievalOperation";
        case ObjectKind::RetrievalResult: return "RetrievalResult";
        case ObjectKind::Credential: return "Credential";
        case ObjectKind::SignOperation: return "SignOperation";
        case ObjectKind::OperationResult: return "OperationResult";
        case ObjectKind::Buffer: return "Buffer";
        case ObjectKind::DeleteOperation: return "DeleteOperation";
        case ObjectKind::SupportOperation: return "SupportOperation";
        case ObjectKind::AvailabilityOperation: return "AvailabilityOperation";
        case ObjectKind::VerificationOperation: return "VerificationOperation";
        case ObjectKind::AttestationOperation: return "AttestationOperation";
        case ObjectKind::AttestationResult: return "AttestationResult";
    }
    return "?";
}

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
    // Arrays the code under test leaked; freed here so that a leak shows in the counts
    // rather than in the sanitizer's report of the test binary.
    for (auto& [data, array] : arrays_) std::free(data);
}

std::vector<std::string> FakePlatform::releases() const {
    std::vector<std::string> out;
    for (const std::string& e : events) {
        if (!e.empty() && e[0] == '-') out.push_back(e.substr(1));
    }
    return out;
}

void FakePlatform::trim() {
    UnaccountedScope unaccounted;
    calls.clear();
    events.clear();
    array_events.clear();
    if (live_objects_ == 0) objects_.clear();
}

Step FakePlatform::next_step(Op op) {
    if (before_call != nullptr) before_call();
    calls.emplace_back(op_name(op));
    auto& queue = scripts_[op];
    if (queue.empty()) return Step::succeed();
    Step step = std::move(queue.front());
    queue.pop_front();
    return step;
}

static PlatformError error_for(const Step& step) {
    if (step.message.empty()) return PlatformError(step.hresult);
    return PlatformError::with_text(step.hresult, step.message);
}

template <ObjectKind Kind>
Outcome<PlatformRef<Kind>> FakePlatform::make(Op op, std::vector<std::uint8_t> bytes, std::string text) {
    Step step = next_step(op);
    if (step.kind == Step::Fail) return error_for(step);
    if (step.kind == Step::NoObject) return PlatformRef<Kind>();
    if (step.kind == Step::Bytes) bytes = std::move(step.bytes);
    Object& o = objects_.emplace_back(Object{static_cast<int>(objects_.size()), Kind, true, std::move(bytes),
                                            std::move(text)});
    ++live_objects_;
    events.push_back("+" + std::string(kind_name(Kind)) + "#" + std::to_string(o.id));
    return adopt<Kind>(&o);
}

FakePlatform::Object* FakePlatform::object(const void* raw, ObjectKind kind) {
    for (Object& o : objects_) {
        if (&o == raw) {
            if (o.kind != kind) faults.push_back("object of the wrong kind passed");
            if (!o.live) faults.push_back("released object used");
            return &o;
        }
    }
    faults.push_back("unknown object passed");
    return nullptr;
}

StringRef FakePlatform::create_string(TextView utf8) {
    UnaccountedScope unaccounted;
    if (before_call != nullptr) before_call();
    last_name.assign(utf8);
    calls.emplace_back("create_string");
    // As on the platform, the empty string is the null handle.
    if (utf8.empty()) return StringRef();
    Object& o = objects_.emplace_back(
        Object{static_cast<int>(objects_.size()), ObjectKind::String, true, {}, std::string(utf8)});
    ++live_objects_;
    events.push_back("+String#" + std::to_string(o.id));
    return adopt<ObjectKind::String>(&o);
}

std::string FakePlatform::string_text(const StringRef& string) {
    UnaccountedScope unaccounted;
    if (!string) return {};
    Object* o = object(string.get(), ObjectKind::String);
    return o ? o->text : std::string();
}

Outcome<RetrievalOperationRef> FakePlatform::RequestCreateAsync(const StringRef& name,
                                                                KeyCredentialCreationOption option) {
    UnaccountedScope unaccounted;
    if (name) object(name.get(), ObjectKind::String);
    last_creation_option = static_cast<std::int32_t>(option);
    return make<ObjectKind::RetrievalOperation>(Op::RequestCreateAsync);
}

Outcome<RetrievalOperationRef> FakePlatform::OpenAsync(const StringRef& name) {
    UnaccountedScope unaccounted;
    if (name) object(name.get(), ObjectKind::String);
    return make<ObjectKind::RetrievalOperation>(Op::OpenAsync);
}

Outcome<DeleteOperationRef> FakePlatform::DeleteAsync(const StringRef& name) {
    if (name) object(name.get(), ObjectKind::String);
    return make<ObjectKind::DeleteOperation>(Op::DeleteAsync);
}

Outcome<SupportOperationRef> FakePlatform::IsSupportedAsync() {
    return make<ObjectKind::SupportOperation>(Op::IsSupportedAsync);
}

Outcome<RetrievalResultRef> FakePlatform::wait_for_results(const RetrievalOperationRef& operation) {
    UnaccountedScope unaccounted;
    object(operation.get(), ObjectKind::RetrievalOperation);
    return make<ObjectKind::RetrievalResult>(Op::WaitRetrieval);
}

Outcome<OperationResultRef> FakePlatform::wait_for_results(const SignOperationRef& operation) {
    UnaccountedScope unaccounted;
    object(operation.get(), ObjectKind::SignOperation);
    return make<ObjectKind::OperationResult>(Op::WaitSign);
}

Outcome<void> FakePlatform::wait_for_results(const DeleteOperationRef& operation) {
    object(operation.get(), ObjectKind::DeleteOperation);
    Step step = next_step(Op::WaitDelete);
    if (step.kind == Step::Fail) return error_for(step);
    return {};
}

Outcome<bool> FakePlatform::wait_for_results(const SupportOperationRef& operation) {
    object(operation.get(), ObjectKind::SupportOperation);
    Step step = next_step(Op::WaitSupport);
    if (step.kind == Step::Fail) return error_for(step);
    return step.kind == Step::Value ? step.value != 0 : supported;
}

static Outcome<std::int32_t> status_from(const Step& step) {
    if (step.kind == Step::Fail) return error_for(step);
    if (step.kind == Step::Value) return static_cast<std::int32_t>(step.value);
    return 0;
}

Outcome<std::int32_t> FakePlatform::Status(const RetrievalResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::RetrievalResult);
    return status_from(next_step(Op::StatusRetrieval));
}

Outcome<std::int32_t> FakePlatform::Status(const OperationResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::OperationResult);
    return status_from(next_step(Op::StatusOperation));
}

Outcome<CredentialRef> FakePlatform::Credential(const RetrievalResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::RetrievalResult);
    return make<ObjectKind::Credential>(Op::Credential);
}

Outcome<BufferRef> FakePlatform::Result(const OperationResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::OperationResult);
    return make<ObjectKind::Buffer>(Op::Result, signature);
}

Outcome<BufferRef> FakePlatform::RetrievePublicKeyWithDefaultBlobType(const CredentialRef& credential) {
    UnaccountedScope unaccounted;
    object(credential.get(), ObjectKind::Credential);
    return make<ObjectKind::Buffer>(Op::RetrievePublicKeyWithDefaultBlobType, public_key);
}

Outcome<BufferRef> FakePlatform::RetrievePublicKeyWithBlobType(const CredentialRef& credential,
                                                               CryptographicPublicKeyBlobType blob_type) {
    object(credential.get(), ObjectKind::Credential);
    last_blob_type = static_cast<std::int32_t>(blob_type);
    return make<ObjectKind::Buffer>(Op::RetrievePublicKeyWithBlobType, public_key);
}

Outcome<SignOperationRef> FakePlatform::RequestSignAsync(const CredentialRef& credential, const BufferRef& data) {
    UnaccountedScope unaccounted;
    object(credential.get(), ObjectKind::Credential);
    object(data.get(), ObjectKind::Buffer);
    return make<ObjectKind::SignOperation>(Op::RequestSignAsync);
}

Outcome<RetrievalOperationRef> FakePlatform::RequestCreateForWindowAsync(WindowHandle window, const StringRef& name,
                                                                         KeyCredentialCreationOption option) {
    UnaccountedScope unaccounted;
    if (name) object(name.get(), ObjectKind::String);
    last_window = window;
    last_creation_option = static_cast<std::int32_t>(option);
    return make<ObjectKind::RetrievalOperation>(Op::RequestCreateForWindowAsync);
}

Outcome<SignOperationRef> FakePlatform::RequestSignForWindowAsync(WindowHandle window, const CredentialRef& credential,
                                                                  const BufferRef& data) {
    UnaccountedScope unaccounted;
    object(credential.get(), ObjectKind::Credential);
    object(data.get(), ObjectKind::Buffer);
    last_window = window;
    return make<ObjectKind::SignOperation>(Op::RequestSignForWindowAsync);
}

Outcome<AvailabilityOperationRef> FakePlatform::CheckAvailabilityAsync() {
    UnaccountedScope unaccounted;
    return make<ObjectKind::AvailabilityOperation>(Op::CheckAvailabilityAsync);
}

Outcome<VerificationOperationRef> FakePlatform::RequestVerificationForWindowAsync(WindowHandle window,
                                                                                  const StringRef& message) {
    UnaccountedScope unaccounted;
    if (message) object(message.get(), ObjectKind::String);
    last_window = window;
    return make<ObjectKind::VerificationOperation>(Op::RequestVerificationForWindowAsync);
}

Outcome<AttestationOperationRef> FakePlatform::GetAttestationAsync(const CredentialRef& credential) {
    UnaccountedScope unaccounted;
    object(credential.get(), ObjectKind::Credential);
    return make<ObjectKind::AttestationOperation>(Op::GetAttestationAsync);
}

Outcome<std::int32_t> FakePlatform::wait_for_results(const AvailabilityOperationRef& operation) {
    UnaccountedScope unaccounted;
    object(operation.get(), ObjectKind::AvailabilityOperation);
    return status_from(next_step(Op::WaitAvailability));
}

Outcome<std::int32_t> FakePlatform::wait_for_results(const VerificationOperationRef& operation) {
    UnaccountedScope unaccounted;
    object(operation.get(), ObjectKind::VerificationOperation);
    return status_from(next_step(Op::WaitVerification));
}

Outcome<AttestationResultRef> FakePlatform::wait_for_results(const AttestationOperationRef& operation) {
    UnaccountedScope unaccounted;
    object(operation.get(), ObjectKind::AttestationOperation);
    return make<ObjectKind::AttestationResult>(Op::WaitAttestation);
}

Outcome<std::int32_t> FakePlatform::Status(const AttestationResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::AttestationResult);
    return status_from(next_step(Op::StatusAttestation));
}

// The attestation's buffers: the public key's bytes and the signature's, so that each
// is told apart.
Outcome<BufferRef> FakePlatform::CertificateChainBuffer(const AttestationResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::AttestationResult);
    return make<ObjectKind::Buffer>(Op::CertificateChainBuffer, public_key);
}

Outcome<BufferRef> FakePlatform::AttestationBuffer(const AttestationResultRef& result) {
    UnaccountedScope unaccounted;
    object(result.get(), ObjectKind::AttestationResult);
    return make<ObjectKind::Buffer>(Op::AttestationBuffer, signature);
}

Outcome<std::uint32_t> FakePlatform::Length(const BufferRef& buffer) {
    UnaccountedScope unaccounted;
    Object* o = object(buffer.get(), ObjectKind::Buffer);
    Step step = next_step(Op::Length);
    if (step.kind == Step::Fail) return error_for(step);
    if (step.kind == Step::Value) return static_cast<std::uint32_t>(step.value);
    return o ? static_cast<std::uint32_t>(o->bytes.size()) : 0u;
}

Outcome<BufferRef> FakePlatform::CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) {
    UnaccountedScope unaccounted;
    // The length is all that is checked at the limit: a count near 4 GiB is not copied.
    last_data_length = length;
    last_data.assign(bytes, bytes + (length <= kCopiedDataLimit ? length : 0));
    return make<ObjectKind::Buffer>(Op::CreateFromByteArray, last_data);
}

Outcome<void> FakePlatform::CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) {
    UnaccountedScope unaccounted;
    Object* o = object(buffer.get(), ObjectKind::Buffer);
    Step step = next_step(Op::CopyToByteArray);
    if (step.kind == Step::Fail) return error_for(step);
    if (copy_keeps_array || o == nullptr) return {};
    // Like the platform: a new array of its own, not the one handed in.
    array = {};
    if (!o->bytes.empty()) {
        array.data = allocate_array(static_cast<std::uint32_t>(o->bytes.size()));
        array.length = static_cast<std::uint32_t>(o->bytes.size());
        std::memcpy(array.data, o->bytes.data(), o->bytes.size());
    }
    return {};
}

Outcome<StringRef> FakePlatform::EncodeToBase64String(const BufferRef& buffer) {
    UnaccountedScope unaccounted;
    object(buffer.get(), ObjectKind::Buffer);
    return make<ObjectKind::String>(Op::EncodeToBase64String, {}, base64_text);
}

std::uint8_t* FakePlatform::allocate_array(std::uint32_t length) noexcept {
    UnaccountedScope unaccounted;
    if (fail_array_allocation) return nullptr;
    auto* data = static_cast<std::uint8_t*>(std::calloc(length == 0 ? 1 : length, 1));
    arrays_[data] = Array{length, arrays_allocated_};
    array_events.push_back("+Array#" + std::to_string(arrays_allocated_));
    ++arrays_allocated_;
    return data;
}

void FakePlatform::free_array(std::uint8_t* data) noexcept {
    UnaccountedScope unaccounted;
    auto it = arrays_.find(data);
    if (it == arrays_.end()) {
        faults.push_back("free of an array that is not live");
        return;
    }
    array_events.push_back("-Array#" + std::to_string(it->second.id));
    arrays_.erase(it);
    std::free(data);
}

void FakePlatform::release(ObjectKind kind, void* raw) noexcept {
    UnaccountedScope unaccounted;
    for (Object& o : objects_) {
        if (&o != raw) continue;
        if (o.kind != kind) faults.push_back("release with the wrong kind");
        if (!o.live) {
            faults.push_back(std::string("double release of ") + kind_name(o.kind) + "#" + std::to_string(o.id));
            return;
        }
        o.live = false;
        --live_objects_;
        events.push_back("-" + std::string(kind_name(o.kind)) + "#" + std::to_string(o.id));
        return;
    }
    faults.push_back("release of an unknown object");
}

}  // namespace bio::testing
