// A scripted KeyCredentialPlatform for tests.
//
// Each operation can be told, call by call, to succeed, fail with an HRESULT (optionally
// with a message), succeed without an object, or yield a given status / length / answer. The fake
// logs every call, acquisition and release, counts live objects and arrays, and records
// double or unknown releases.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bio_windows.h"

namespace bio::testing {

enum class Op {
    RequestCreateAsync,
    OpenAsync,
    WaitRetrieval,  // wait_for_results on a retrieval operation
    WaitSign,       // wait_for_results on a sign operation
    StatusRetrieval,
    StatusOperation,
    Credential,
    RetrievePublicKeyWithDefaultBlobType,
    RequestSignAsync,
    Result,
    Length,
    CreateFromByteArray,
    CopyToByteArray,
    EncodeToBase64String,
    RetrievePublicKeyWithBlobType,
    DeleteAsync,
    IsSupportedAsync,
    WaitDelete,   // wait_for_results on a delete operation
    WaitSupport,  // wait_for_results on a support check
    RequestCreateForWindowAsync,
    RequestSignForWindowAsync,
    CheckAvailabilityAsync,
    WaitAvailability,  // Value: the availability
    RequestVerificationForWindowAsync,
    WaitVerification,  // Value: the verification result
    GetAttestationAsync,
    WaitAttestation,
    StatusAttestation,
    CertificateChainBuffer,
    AttestationBuffer,
};
inline constexpr Op kLastOp = Op::AttestationBuffer;

const char* op_name(Op op);

struct Step {
    enum Kind { Succeed, Fail, NoObject, Value, Bytes } kind = Succeed;
    std::int32_t hresult = 0;  // Fail
    std::string message;       // Fail: attached error text, when not empty
    std::int64_t value = 0;    // Value: the status, the length, or the support answer
    std::vector<std::uint8_t> bytes;  // Bytes: what the buffer a call yields holds

    static Step succeed() { return {}; }
    static Step fail(std::int32_t hr, std::string msg = {}) { return {Fail, hr, std::move(msg), 0, {}}; }
    static Step no_object() { return {NoObject, 0, {}, 0, {}}; }
    static Step status(std::int32_t s) { return {Value, 0, {}, s, {}}; }
    static Step length(std::uint32_t n) { return {Value, 0, {}, n, {}}; }
    static Step answer(bool supported) { return {Value, 0, {}, supported ? 1 : 0, {}}; }
    // For a call that yields a buffer (a public key, a signature): these bytes instead of
    // the fake's own, as when the credential behind a name changed.
    static Step buffer(std::vector<std::uint8_t> b) { return {Bytes, 0, {}, 0, std::move(b)}; }
};

class FakePlatform final : public KeyCredentialPlatform {
public:
    std::string_view platform_name() const noexcept override { return "fake"; }
    FakePlatform();
    ~FakePlatform() override;

    // Scripting: the next calls of `op` take these steps in order; later calls succeed.
    void script(Op op, Step step) { scripts_[op].push_back(std::move(step)); }
    void script(Op op, std::initializer_list<Step> steps) {
        for (const Step& s : steps) script(op, s);
    }
    void clear_scripts() { scripts_.clear(); }

    // What a successful run produces.
    std::vector<std::uint8_t> public_key{1, 2, 3};
    std::string base64_text = "AQID";
    std::vector<std::uint8_t> signature{0, 1, 127, 128, 255};
    bool fail_array_allocation = false;      // allocate_array yields null
    bool copy_keeps_array = false;           // CopyToByteArray leaves the array as given
    bool supported = true;                   // what IsSupportedAsync answers
    void (*before_call)() = nullptr;         // called as each operation starts

    // Observations.
    std::vector<std::string> calls;   // operation names, in order
    std::vector<std::string> events;  // "+Kind#id" acquisitions and "-Kind#id" releases
    std::vector<std::string> faults;  // double, unknown or out-of-band releases and frees
    std::string last_name;            // text of the last created string
    std::vector<std::uint8_t> last_data;  // bytes handed to CreateFromByteArray (up to kCopiedDataLimit)
    std::uint32_t last_data_length = 0;   // their count
    static constexpr std::uint32_t kCopiedDataLimit = 1u << 20;
    std::vector<std::string> array_events;  // "+Array#id" allocations and "-Array#id" frees
    std::int32_t last_creation_option = -1;
    std::int32_t last_blob_type = -1;
    std::uint64_t last_window = 0;  // of the last window-taking call
    int live_objects() const { return live_objects_; }
    int live_arrays() const { return static_cast<int>(arrays_.size()); }
    int arrays_allocated() const { return arrays_allocated_; }
    // The releases, in order, as "Kind#id".
    std::vector<std::string> releases() const;
    // Forgets the logs and the table of released objects while nothing is live, so that
    // long runs keep a small fake; scripts stay.
    void trim();

    // KeyCredentialPlatform
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
    Outcome<std::uint32_t> Length(const BufferRef& buffer) override;
    Outcome<BufferRef> CreateFromByteArray(std::uint32_t length, const std::uint8_t* bytes) override;
    Outcome<void> CopyToByteArray(const BufferRef& buffer, ReceivingArray& array) override;
    Outcome<StringRef> EncodeToBase64String(const BufferRef& buffer) override;
    std::uint8_t* allocate_array(std::uint32_t length) noexcept override;
    void free_array(std::uint8_t* data) noexcept override;
    void release(ObjectKind kind, void* raw) noexcept override;

private:
    struct Object {
        int id;
        ObjectKind kind;
        bool live;
        std::vector<std::uint8_t> bytes;  // buffers
        std::string text;                 // strings
    };

    Step next_step(Op op);
    template <ObjectKind Kind>
    Outcome<PlatformRef<Kind>> make(Op op, std::vector<std::uint8_t> bytes = {}, std::string text = {});
    Object* object(const void* raw, ObjectKind kind);

    std::map<Op, std::deque<Step>> scripts_;
    std::deque<Object> objects_;  // stable addresses: the raw handles point into it
    struct Array {
        std::uint32_t length;
        int id;
    };
    std::map<std::uint8_t*, Array> arrays_;
    int live_objects_ = 0;
    int arrays_allocated_ = 0;
};

const char* kind_name(ObjectKind kind);

}  // namespace bio::testing
