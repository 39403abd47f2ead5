// The platform of the benchmark's module build: it answers every request at once, with
// success and a fixed 256-byte signature, and keeps no record of anything, so that
// timing the module measures the module. Every handle of a kind is the address of one
// static token, and releasing one does nothing.
#include <cstdlib>
#include <cstring>

#include "bio_windows.h"

namespace bio {
namespace {

// A realistic public key text: a 2048-bit key's SubjectPublicKeyInfo is 294 bytes, 392
// characters of Base64, which the module copies out and drops.
constexpr char kPublicKeyText[] =
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAIDAQAB";

struct Signature {
    std::uint8_t bytes[256];
    Signature() {
        for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
};
const Signature kSignature;

// One token per kind of handle; buffers are told apart by which token they are.
char g_string, g_key_text, g_operation, g_result, g_credential, g_sign_operation, g_operation_result;
char g_data_buffer, g_signature_buffer, g_public_key_buffer;

// The receiving array of a call: one block per thread, as no call has two at once.
thread_local std::uint8_t t_array[256];
thread_local bool t_array_in_use = false;

class InstantPlatform final : public KeyCredentialPlatform {
public:
    std::string_view platform_name() const noexcept override { return "instant"; }
    StringRef create_string(TextView utf8) override {
        return utf8.empty() ? StringRef() : adopt<ObjectKind::String>(&g_string);
    }
    std::string string_text(const StringRef& string) override {
        return string.get() == &g_key_text ? std::string(kPublicKeyText, sizeof kPublicKeyText - 1) : std::string();
    }
    Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef&, KeyCredentialCreationOption) override {
        return adopt<ObjectKind::RetrievalOperation>(&g_operation);
    }
    Outcome<RetrievalOperationRef> OpenAsync(const StringRef&) override {
        return adopt<ObjectKind::RetrievalOperation>(&g_operation);
    }
    Outcome<DeleteOperationRef> DeleteAsync(const StringRef&) override {
        return adopt<ObjectKind::DeleteOperation>(&g_operation);
    }
    Outcome<SupportOperationRef> IsSupportedAsync() override {
        return adopt<ObjectKind::SupportOperation>(&g_operation);
    }
    Outcome<void> wait_for_results(const DeleteOperationRef&) override { return {}; }
    Outcome<bool> wait_for_results(const SupportOperationRef&) override { return true; }
    Outcome<RetrievalResultRef> wait_for_results(const RetrievalOperationRef&) override {
        return adopt<ObjectKind::RetrievalResult>(&g_result);
    }
    Outcome<OperationResultRef> wait_for_results(const SignOperationRef&) override {
        return adopt<ObjectKind::OperationResult>(&g_operation_result);
    }
    Outcome<std::int32_t> Status(const RetrievalResultRef&) override { return KeyCredentialStatus_Success; }
    Outcome<std::int32_t> Status(const OperationResultRef&) override { return KeyCredentialStatus_Success; }
    Outcome<CredentialRef> Credential(const RetrievalResultRef&) override {
        return adopt<ObjectKind::Credential>(&g_credential);
    }
    Outcome<BufferRef> Result(const OperationResultRef&) override {
        return adopt<ObjectKind::Buffer>(&g_signature_buffer);
    }
    Outcome<BufferRef> RetrievePublicKeyWithDefaultBlobType(const CredentialRef&) override {
        return adopt<ObjectKind::Buffer>(&g_public_key_buffer);
    }
    Outcome<BufferRef> RetrievePublicKeyWithBlobType(const CredentialRef&, CryptographicPublicKeyBlobType) override {
        return adopt<ObjectKind::Buffer>(&g_public_key_buffer);
    }
    Outcome<SignOperationRef> RequestSignAsync(const CredentialRef&, const BufferRef&) override {
        return adopt<ObjectKind::SignOperation>(&g_sign_operation);
    }
    Outcome<std::uint32_t> Length(const BufferRef& buffer) override {
        return buffer.get() == &g_signature_buffer ? std::uint32_t{sizeof kSignature.bytes} : 0u;
    }
    Outcome<BufferRef> CreateFromByteArray(std::uint32_t, const std::uint8_t*) override {
        return adopt<ObjectKind::Buffer>(&g_data_buffer);
    }
    Outcome<void> CopyToByteArray(const BufferRef&, ReceivingArray& array) override {
        std::memcpy(array.data, kSignature.bytes, array.length < 256 ? array.length : 256);
        return {};
    }
    Outcome<StringRef> EncodeToBase64String(const BufferRef&) override {
        return adopt<ObjectKind::String>(&g_key_text);
    }
    std::uint8_t* allocate_array(std::uint32_t length) noexcept override {
        if (length <= sizeof t_array && !t_array_in_use) {
            t_array_in_use = true;
            std::memset(t_array, 0, length);  // zero-filled, as the platform's are
            return t_array;
        }
        return static_cast<std::uint8_t*>(std::calloc(length != 0 ? length : 1, 1));
    }
    void free_array(std::uint8_t* data) noexcept override {
        if (data == t_array) {
            t_array_in_use = false;
        } else {
            std::free(data);
        }
    }
    void release(ObjectKind, void*) noexcept override {}
};

}  // namespace

KeyCredentialPlatform& default_platform() {
    static InstantPlatform platform;
    return platform;
}

}  // namespace bio
