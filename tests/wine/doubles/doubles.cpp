// The test doubles behind doubles.h. Plain COM objects over the interface declarations
// of the client itself; every method follows its Script.
#include "doubles.h"

#include <bcrypt.h>
#include <winstring.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "winrt/abi.h"

namespace bio::doubles {
namespace {

using namespace bio::abi;

Control g_control;

// The outcome of one call of `method` under its script.
struct Step {
    HRESULT hr;
    bool produce;  // hand out an object
    INT32 value;
};

Step step(Method method) {
    const LONG call = InterlockedIncrement(&g_control.calls[method]) - 1;
    const Script& script = g_control.scripts[method];
    Step result{S_OK, true, script.value[call == 0 ? 0 : 1]};
    if (script.hr != S_OK && (script.fail_call < 0 || script.fail_call == call)) result.hr = script.hr;
    result.produce = (SUCCEEDED(result.hr) || script.object_on_failure) && !script.null_out;
    return result;
}

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000Eu);  // E_ILLEGAL_METHOD_CALL

bool same(const IID* a, const GUID& b) { return a != nullptr && IsEqualGUID(*a, b); }

// Reference counting shared by every object; `Obj` has `refs` and `factory`.
template <class Obj>
ULONG add_ref(Obj* obj) {
    return static_cast<ULONG>(InterlockedIncrement(&obj->refs));
}
template <class Obj>
ULONG release(Obj* obj) {
    const LONG left = InterlockedDecrement(&obj->refs);
    if (left == 0) {
        InterlockedDecrement(obj->factory ? &g_control.live_factories : &g_control.live_objects);
        delete obj;
    }
    return static_cast<ULONG>(left < 0 ? 0 : left);
}
template <class Obj>
Obj* born(Obj* obj) {
    InterlockedIncrement(obj->factory ? &g_control.live_factories : &g_control.live_objects);
    return obj;
}

// Recovers the object from the address of one of its interface fields.
template <class Obj, class Iface>
Obj* owner(Iface* self, std::size_t field) {
    return reinterpret_cast<Obj*>(reinterpret_cast<char*>(self) - field);
}

template <class Self>
HRESULT STDMETHODCALLTYPE not_implemented_iids(Self*, ULONG*, IID**) { return E_NOTIMPL; }
template <class Self>
HRESULT STDMETHODCALLTYPE not_implemented_name(Self*, HSTRING*) { return E_NOTIMPL; }
template <class Self>
HRESULT STDMETHODCALLTYPE not_implemented_trust(Self*, INT32*) { return E_NOTIMPL; }
#define INSPECTABLE_STUBS(Self) &not_implemented_iids<Self>, &not_implemented_name<Self>, &not_implemented_trust<Self>

// ---- real keys ------------------------------------------------------------------------

using Bytes = std::vector<BYTE>;

// DER: the element of `tag` around `contents`.
Bytes der(BYTE tag, const Bytes& contents) {
    Bytes out{tag};
    const std::size_t size = contents.size();
    if (size < 0x80) {
        out.push_back(static_cast<BYTE>(size));
    } else {
        BYTE count = 0;
        for (std::size_t rest = size; rest != 0; rest >>= 8) ++count;
        out.push_back(static_cast<BYTE>(0x80 | count));
        for (BYTE i = count; i-- > 0;) out.push_back(static_cast<BYTE>(size >> (8 * i)));
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}
Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}
// A non-negative INTEGER from a big-endian magnitude.
Bytes der_integer(const BYTE* magnitude, std::size_t size) {
    while (size > 1 && magnitude[0] == 0) ++magnitude, --size;
    Bytes contents;
    if (size == 0 || (magnitude[0] & 0x80) != 0) contents.push_back(0);
    contents.insert(contents.end(), magnitude, magnitude + size);
    return der(0x02, contents);
}

// An RSA-2048 key pair made with CNG, and a SHA-256 provider to sign with it. It owns its
// handles; the key goes before its provider.
class KeyPair {
public:
    KeyPair() = default;
    KeyPair(const KeyPair&) = delete;
    KeyPair& operator=(const KeyPair&) = delete;
    ~KeyPair() {
        if (key_ != nullptr) BCryptDestroyKey(key_);
        if (rsa_ != nullptr) BCryptCloseAlgorithmProvider(rsa_, 0);
        if (sha256_ != nullptr) BCryptCloseAlgorithmProvider(sha256_, 0);
    }

    // Null when CNG cannot make one.
    static std::shared_ptr<const KeyPair> generate() {
        auto pair = std::make_shared<KeyPair>();
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&pair->sha256_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
            !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&pair->rsa_, BCRYPT_RSA_ALGORITHM, nullptr, 0)) ||
            !BCRYPT_SUCCESS(BCryptGenerateKeyPair(pair->rsa_, &pair->key_, 2048, 0)) ||
            !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(pair->key_, 0))) {
            return nullptr;
        }
        return pair;
    }

    // DER SubjectPublicKeyInfo, from CNG's BCRYPT_RSAPUBLIC_BLOB; empty when CNG fails.
    Bytes subject_public_key_info() const {
        ULONG size = 0;
        if (!BCRYPT_SUCCESS(BCryptExportKey(key_, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0))) return {};
        Bytes blob(size);
        BCRYPT_RSAKEY_BLOB header{};
        if (!BCRYPT_SUCCESS(BCryptExportKey(key_, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob.data(), size, &size, 0)) ||
            size < sizeof header) {
            return {};
        }
        std::memcpy(&header, blob.data(), sizeof header);
        if (size - sizeof header < std::size_t{header.cbPublicExp} + header.cbModulus) return {};
        const BYTE* exponent = blob.data() + sizeof header;
        const BYTE* modulus = exponent + header.cbPublicExp;
        static const Bytes kRsaEncryption{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
        const Bytes algorithm = der(0x30, joined({der(0x06, kRsaEncryption), der(0x05, {})}));
        const Bytes rsa = der(0x30, joined({der_integer(modulus, header.cbModulus),
                                            der_integer(exponent, header.cbPublicExp)}));
        return der(0x30, joined({algorithm, der(0x03, joined({Bytes{0}, rsa}))}));
    }

    // RSASSA-PKCS1-v1_5 over SHA-256 of `data`; empty when CNG fails.
    Bytes sign(const Bytes& data) const {
        BYTE hash[32];
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
        ULONG size = 0;
        if (!BCRYPT_SUCCESS(BCryptHash(sha256_, nullptr, 0, const_cast<BYTE*>(data.data()),
                                       static_cast<ULONG>(data.size()), hash, sizeof hash)) ||
            !BCRYPT_SUCCESS(BCryptSignHash(key_, &padding, hash, sizeof hash, nullptr, 0, &size, BCRYPT_PAD_PKCS1))) {
            return {};
        }
        Bytes signature(size);
        if (!BCRYPT_SUCCESS(
                BCryptSignHash(key_, &padding, hash, sizeof hash, signature.data(), size, &size, BCRYPT_PAD_PKCS1))) {
            return {};
        }
        signature.resize(size);
        return signature;
    }

private:
    BCRYPT_ALG_HANDLE sha256_ = nullptr;
    BCRYPT_ALG_HANDLE rsa_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
};
using KeyRef = std::shared_ptr<const KeyPair>;

// The keys by credential name, with Control::real_keys: a create makes a name a new key,
// an open finds it (a name never created gets one, as if it had been), a delete drops it.
// It lives as long as the process: CNG is not to be called while the process unloads.
class KeyStore {
public:
    KeyRef create(const std::wstring& name) {
        KeyRef key = KeyPair::generate();
        std::lock_guard lock(mutex_);
        return keys_[name] = key;
    }
    KeyRef open(const std::wstring& name) {
        {
            std::lock_guard lock(mutex_);
            if (auto found = keys_.find(name); found != keys_.end()) return found->second;
        }
        KeyRef key = KeyPair::generate();
        std::lock_guard lock(mutex_);
        return keys_.try_emplace(name, key).first->second;  // one made meanwhile wins
    }
    void erase(const std::wstring& name) {
        std::lock_guard lock(mutex_);
        keys_.erase(name);
    }

private:
    std::mutex mutex_;
    std::map<std::wstring, KeyRef> keys_;
};
KeyStore& key_store() {
    static KeyStore* store = new KeyStore;
    return *store;
}

std::wstring text_of(HSTRING string) {
    UINT32 length = 0;
    const wchar_t* text = WindowsGetStringRawBuffer(string, &length);
    return std::wstring(text, length);
}

// What an object of a real key hands on: a retrieval's and a credential's key, a signing
// operation's and its result's signature. Empty: what Control scripts.
struct Carried {
    KeyRef key{};
    std::shared_ptr<const Bytes> signature{};
};

// ---- IBuffer -----------------------------------------------------------------------

struct Buffer {
    const IBufferVtbl* vtbl;
    volatile LONG refs;
    bool factory;
    UINT32 length;
    Bytes data;
};

// Answered only by our buffers, whichever copy of the library made them.
constexpr GUID kOwnBufferIid = {0x6b1d7c2e, 0x90a4, 0x4f3e, {0x8d, 0x51, 0x2c, 0x77, 0x0e, 0x13, 0xa9, 0x42}};

HRESULT STDMETHODCALLTYPE buffer_query(IBuffer* self, const IID* iid, void** out) {
    if (same(iid, kOwnBufferIid) || same(iid, IID_IUnknown) || same(iid, IID_IInspectable) || same(iid, IID_IBuffer) || same(iid, IID_IAgileObject)) {
        *out = self;
        add_ref(reinterpret_cast<Buffer*>(self));
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE buffer_add_ref(IBuffer* self) { return add_ref(reinterpret_cast<Buffer*>(self)); }
ULONG STDMETHODCALLTYPE buffer_release(IBuffer* self) { return release(reinterpret_cast<Buffer*>(self)); }
HRESULT STDMETHODCALLTYPE buffer_capacity(IBuffer* self, UINT32* value) {
    *value = reinterpret_cast<Buffer*>(self)->length;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE buffer_length(IBuffer* self, UINT32* value) {
    Step s = step(Length);
    if (FAILED(s.hr)) return s.hr;
    *value = reinterpret_cast<Buffer*>(self)->length;
    return s.hr;
}
HRESULT STDMETHODCALLTYPE buffer_put_length(IBuffer*, UINT32) { return E_NOTIMPL; }
constexpr IBufferVtbl kBufferVtbl = {&buffer_query,     &buffer_add_ref, &buffer_release, INSPECTABLE_STUBS(IBuffer),
                                     &buffer_capacity, &buffer_length,  &buffer_put_length};

// Our buffer behind `buffer`, or null for someone else's.
const Buffer* own_buffer(IBuffer* buffer) {
    void* own = nullptr;
    if (buffer == nullptr || FAILED(buffer->lpVtbl->QueryInterface(buffer, &kOwnBufferIid, &own))) return nullptr;
    buffer->lpVtbl->Release(buffer);
    return static_cast<const Buffer*>(own);
}

IBuffer* new_buffer(const BYTE* bytes, UINT32 length) {
    auto* buffer = born(new Buffer{&kBufferVtbl, 1, false, length, Bytes(bytes, bytes + length)});
    return reinterpret_cast<IBuffer*>(buffer);
}
IBuffer* new_buffer(const Bytes& bytes) { return new_buffer(bytes.data(), static_cast<UINT32>(bytes.size())); }

// ---- results and credential --------------------------------------------------------

template <class Iface>
struct Simple {
    const void* vtbl;
    volatile LONG refs;
    bool factory;
    Carried carried;
};

template <class Iface>
HRESULT STDMETHODCALLTYPE simple_query(Iface* self, const IID* iid, void** out);
template <class Iface>
ULONG STDMETHODCALLTYPE simple_add_ref(Iface* self) {
    return add_ref(reinterpret_cast<Simple<Iface>*>(self));
}
template <class Iface>
ULONG STDMETHODCALLTYPE simple_release(Iface* self) {
    return release(reinterpret_cast<Simple<Iface>*>(self));
}
template <class Iface>
Iface* new_simple(const void* vtbl, Carried carried = {}) {
    return reinterpret_cast<Iface*>(born(new Simple<Iface>{vtbl, 1, false, std::move(carried)}));
}
template <class Iface>
const Carried& carried_by(Iface* self) {
    return reinterpret_cast<Simple<Iface>*>(self)->carried;
}

template <class Iface>
const GUID& iid_of();
template <>
const GUID& iid_of<IKeyCredentialRetrievalResult>() { return IID_IKeyCredentialRetrievalResult; }
template <>
const GUID& iid_of<IKeyCredentialOperationResult>() { return IID_IKeyCredentialOperationResult; }
template <>
const GUID& iid_of<IKeyCredentialAttestationResult>() { return IID_IKeyCredentialAttestationResult; }

template <class Iface>
HRESULT STDMETHODCALLTYPE simple_query(Iface* self, const IID* iid, void** out) {
    if (same(iid, IID_IUnknown) || same(iid, IID_IInspectable) || same(iid, iid_of<Iface>()) || same(iid, IID_IAgileObject)) {
        *out = self;
        simple_add_ref(self);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
#define UNKNOWN_OF(Iface) &simple_query<Iface>, &simple_add_ref<Iface>, &simple_release<Iface>

// Writes a new object into *out as the method's script says.
template <class T, class Make>
HRESULT produce(Method method, T** out, Make&& make) {
    *out = nullptr;
    Step s = step(method);
    if (s.produce) *out = make();
    return s.hr;
}

// A credential: IKeyCredential, and IKeyCredentialWithWindow as its script says.
struct CredentialObject {
    const IKeyCredentialVtbl* vtbl;
    const IKeyCredentialWithWindowVtbl* window_vtbl;
    volatile LONG refs;
    bool factory;
    KeyRef key;

    static CredentialObject* of(IKeyCredential* self) { return reinterpret_cast<CredentialObject*>(self); }
    static CredentialObject* of(IKeyCredentialWithWindow* self) {
        return owner<CredentialObject>(self, offsetof(CredentialObject, window_vtbl));
    }
};
HRESULT STDMETHODCALLTYPE credential_query(IKeyCredential* self, const IID* iid, void** out) {
    CredentialObject* credential = CredentialObject::of(self);
    *out = nullptr;
    if (same(iid, IID_IKeyCredentialWithWindow)) {
        Step s = step(SignWithWindowQuery);
        if (s.produce) {
            *out = &credential->window_vtbl;
            add_ref(credential);
        }
        return s.hr;
    }
    if (same(iid, IID_IUnknown) || same(iid, IID_IInspectable) || same(iid, IID_IKeyCredential) ||
        same(iid, IID_IAgileObject)) {
        *out = self;
        add_ref(credential);
        return S_OK;
    }
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE credential_add_ref(IKeyCredential* self) { return add_ref(CredentialObject::of(self)); }
ULONG STDMETHODCALLTYPE credential_release(IKeyCredential* self) { return release(CredentialObject::of(self)); }
HRESULT STDMETHODCALLTYPE window_query(IKeyCredentialWithWindow* self, const IID* iid, void** out) {
    return credential_query(reinterpret_cast<IKeyCredential*>(CredentialObject::of(self)), iid, out);
}
ULONG STDMETHODCALLTYPE window_add_ref(IKeyCredentialWithWindow* self) { return add_ref(CredentialObject::of(self)); }
ULONG STDMETHODCALLTYPE window_release(IKeyCredentialWithWindow* self) { return release(CredentialObject::of(self)); }

HRESULT STDMETHODCALLTYPE credential_name(IKeyCredential*, HSTRING* value) {
    *value = nullptr;
    return E_NOTIMPL;
}
// A real key's SubjectPublicKeyInfo (nothing if CNG fails), or the scripted bytes.
IBuffer* public_key_of(IKeyCredential* self) {
    const KeyRef& key = CredentialObject::of(self)->key;
    if (!key) return new_buffer(g_control.public_key, g_control.public_key_length);
    const Bytes info = key->subject_public_key_info();
    return info.empty() ? nullptr : new_buffer(info);
}
HRESULT STDMETHODCALLTYPE credential_public_key(IKeyCredential* self, IBuffer** value) {
    return produce(RetrievePublicKey, value, [self] { return public_key_of(self); });
}
HRESULT STDMETHODCALLTYPE credential_public_key_blob(IKeyCredential* self, INT32 blob_type, IBuffer** value) {
    g_control.last_blob_type = blob_type;
    // A real key comes as SubjectPublicKeyInfo only.
    if (CredentialObject::of(self)->key && blob_type != 0) {
        *value = nullptr;
        return E_NOTIMPL;
    }
    return produce(RetrievePublicKeyWithBlobType, value, [self] { return public_key_of(self); });
}
IAsyncOperation_KeyCredentialOperationResult* new_sign_operation(Carried carried);
IAsyncOperation_KeyCredentialAttestationResult* new_attestation_operation();
void record_data(IBuffer* data) {
    // Only our own buffers can be read here; the platform's may come from elsewhere.
    if (const Buffer* buffer = own_buffer(data)) {
        g_control.last_data_length = buffer->length;
        std::memcpy(g_control.last_data, buffer->data.data(),
                    buffer->length < sizeof g_control.last_data ? buffer->length : sizeof g_control.last_data);
    }
}
// A real key's signature of our buffer `data` (empty if it is another's or CNG fails);
// nothing for the scripted signature.
Carried signature_by(const CredentialObject* credential, IBuffer* data) {
    if (!credential->key) return {};
    const Buffer* buffer = own_buffer(data);
    return {nullptr, std::make_shared<const Bytes>(buffer != nullptr ? credential->key->sign(buffer->data) : Bytes{})};
}
HRESULT STDMETHODCALLTYPE credential_sign(IKeyCredential* self, IBuffer* data,
                                          IAsyncOperation_KeyCredentialOperationResult** value) {
    record_data(data);
    return produce(RequestSignAsync, value,
                   [&] { return new_sign_operation(signature_by(CredentialObject::of(self), data)); });
}
HRESULT STDMETHODCALLTYPE credential_sign_for_window(IKeyCredentialWithWindow* self, WindowId window, IBuffer* data,
                                                     IAsyncOperation_KeyCredentialOperationResult** value) {
    record_data(data);
    g_control.last_window = window.Value;
    return produce(RequestSignForWindowAsync, value,
                   [&] { return new_sign_operation(signature_by(CredentialObject::of(self), data)); });
}
HRESULT STDMETHODCALLTYPE credential_attestation(IKeyCredential*, IAsyncOperation_KeyCredentialAttestationResult** value) {
    return produce(GetAttestationAsync, value, [] { return new_attestation_operation(); });
}
constexpr IKeyCredentialVtbl kCredentialVtbl = {&credential_query, &credential_add_ref, &credential_release,
                                                INSPECTABLE_STUBS(IKeyCredential),
                                                &credential_name,          &credential_public_key,
                                                &credential_public_key_blob, &credential_sign,
                                                &credential_attestation};
constexpr IKeyCredentialWithWindowVtbl kCredentialWindowVtbl = {&window_query, &window_add_ref, &window_release,
                                                                INSPECTABLE_STUBS(IKeyCredentialWithWindow),
                                                                &credential_sign_for_window};
IKeyCredential* new_credential(KeyRef key) {
    return reinterpret_cast<IKeyCredential*>(
        born(new CredentialObject{&kCredentialVtbl, &kCredentialWindowVtbl, 1, false, std::move(key)}));
}

HRESULT STDMETHODCALLTYPE retrieval_credential(IKeyCredentialRetrievalResult* self, IKeyCredential** value) {
    return produce(Credential, value, [self] { return new_credential(carried_by(self).key); });
}
HRESULT STDMETHODCALLTYPE retrieval_status(IKeyCredentialRetrievalResult*, INT32* value) {
    Step s = step(RetrievalStatus);
    if (SUCCEEDED(s.hr)) *value = s.value;
    return s.hr;
}
constexpr IKeyCredentialRetrievalResultVtbl kRetrievalVtbl = {
    UNKNOWN_OF(IKeyCredentialRetrievalResult), INSPECTABLE_STUBS(IKeyCredentialRetrievalResult),
    &retrieval_credential, &retrieval_status};

HRESULT STDMETHODCALLTYPE operation_result(IKeyCredentialOperationResult* self, IBuffer** value) {
    return produce(Result, value, [self] {
        const auto& signature = carried_by(self).signature;
        return signature ? new_buffer(*signature) : new_buffer(g_control.signature, g_control.signature_length);
    });
}
HRESULT STDMETHODCALLTYPE operation_status(IKeyCredentialOperationResult*, INT32* value) {
    Step s = step(OperationStatus);
    if (SUCCEEDED(s.hr)) *value = s.value;
    return s.hr;
}
constexpr IKeyCredentialOperationResultVtbl kOperationResultVtbl = {
    UNKNOWN_OF(IKeyCredentialOperationResult), INSPECTABLE_STUBS(IKeyCredentialOperationResult),
    &operation_result, &operation_status};

HRESULT STDMETHODCALLTYPE attestation_chain(IKeyCredentialAttestationResult*, IBuffer** value) {
    return produce(CertificateChainBuffer, value,
                   [] { return new_buffer(g_control.certificate_chain, g_control.certificate_chain_length); });
}
HRESULT STDMETHODCALLTYPE attestation_buffer(IKeyCredentialAttestationResult*, IBuffer** value) {
    return produce(AttestationBuffer, value,
                   [] { return new_buffer(g_control.attestation, g_control.attestation_length); });
}
HRESULT STDMETHODCALLTYPE attestation_status(IKeyCredentialAttestationResult*, INT32* value) {
    Step s = step(AttestationStatus);
    if (SUCCEEDED(s.hr)) *value = s.value;
    return s.hr;
}
constexpr IKeyCredentialAttestationResultVtbl kAttestationVtbl = {
    UNKNOWN_OF(IKeyCredentialAttestationResult), INSPECTABLE_STUBS(IKeyCredentialAttestationResult),
    &attestation_chain, &attestation_buffer, &attestation_status};

// ---- asynchronous operations --------------------------------------------------------

// The user-consent operations, whose results are enumerations.
struct Availability;
struct Verification;

// What an operation of a real key hands on to its results.
const Carried& carried_by(IAsyncOperation_KeyCredentialRetrievalResult* operation);
const Carried& carried_by(IAsyncOperation_KeyCredentialOperationResult* operation);

// Per result type: the interfaces, and GetResults as the script of GetResults says.
template <class Result>
struct AsyncTraits;
template <>
struct AsyncTraits<IKeyCredentialRetrievalResult> {
    using Operation = IAsyncOperation_KeyCredentialRetrievalResult;
    using OperationVtbl = IAsyncOperation_KeyCredentialRetrievalResultVtbl;
    using Handler = AsyncOperationCompletedHandler_KeyCredentialRetrievalResult;
    static const GUID& iid() { return IID_IAsyncOperation_KeyCredentialRetrievalResult; }
    static HRESULT STDMETHODCALLTYPE get_results(Operation* self, IKeyCredentialRetrievalResult** results) {
        return produce(GetResults, results,
                       [self] { return new_simple<IKeyCredentialRetrievalResult>(&kRetrievalVtbl, carried_by(self)); });
    }
};
template <>
struct AsyncTraits<IKeyCredentialOperationResult> {
    using Operation = IAsyncOperation_KeyCredentialOperationResult;
    using OperationVtbl = IAsyncOperation_KeyCredentialOperationResultVtbl;
    using Handler = AsyncOperationCompletedHandler_KeyCredentialOperationResult;
    static const GUID& iid() { return IID_IAsyncOperation_KeyCredentialOperationResult; }
    static HRESULT STDMETHODCALLTYPE get_results(Operation* self, IKeyCredentialOperationResult** results) {
        return produce(GetResults, results, [self] {
            return new_simple<IKeyCredentialOperationResult>(&kOperationResultVtbl, carried_by(self));
        });
    }
};
template <>
struct AsyncTraits<bool> {
    using Operation = IAsyncOperation_boolean;
    using OperationVtbl = IAsyncOperation_booleanVtbl;
    using Handler = AsyncOperationCompletedHandler_boolean;
    static const GUID& iid() { return IID_IAsyncOperation_boolean; }
    static HRESULT STDMETHODCALLTYPE get_results(Operation*, BYTE* results) {
        *results = 0;
        Step s = step(GetResults);
        if (SUCCEEDED(s.hr)) *results = g_control.supported;
        return s.hr;
    }
};
template <class Tag, class OperationType, class Vtbl, class HandlerType, INT32 Control::*answer>
struct ConsentTraits {
    using Operation = OperationType;
    using OperationVtbl = Vtbl;
    using Handler = HandlerType;
    static HRESULT STDMETHODCALLTYPE get_results(Operation*, INT32* results) {
        *results = 0;
        Step s = step(GetResults);
        if (SUCCEEDED(s.hr)) *results = g_control.*answer;
        return s.hr;
    }
};
template <>
struct AsyncTraits<Availability>
    : ConsentTraits<Availability, IAsyncOperation_UserConsentVerifierAvailability,
                    IAsyncOperation_UserConsentVerifierAvailabilityVtbl,
                    AsyncOperationCompletedHandler_UserConsentVerifierAvailability, &Control::availability> {
    static const GUID& iid() { return IID_IAsyncOperation_UserConsentVerifierAvailability; }
};
template <>
struct AsyncTraits<Verification>
    : ConsentTraits<Verification, IAsyncOperation_UserConsentVerificationResult,
                    IAsyncOperation_UserConsentVerificationResultVtbl,
                    AsyncOperationCompletedHandler_UserConsentVerificationResult, &Control::verification> {
    static const GUID& iid() { return IID_IAsyncOperation_UserConsentVerificationResult; }
};
template <>
struct AsyncTraits<IKeyCredentialAttestationResult> {
    using Operation = IAsyncOperation_KeyCredentialAttestationResult;
    using OperationVtbl = IAsyncOperation_KeyCredentialAttestationResultVtbl;
    using Handler = AsyncOperationCompletedHandler_KeyCredentialAttestationResult;
    static const GUID& iid() { return IID_IAsyncOperation_KeyCredentialAttestationResult; }
    static HRESULT STDMETHODCALLTYPE get_results(Operation*, IKeyCredentialAttestationResult** results) {
        return produce(GetResults, results, [] { return new_simple<IKeyCredentialAttestationResult>(&kAttestationVtbl); });
    }
};
template <>
struct AsyncTraits<void> {
    using Operation = IAsyncAction;
    using OperationVtbl = IAsyncActionVtbl;
    using Handler = AsyncActionCompletedHandler;
    static const GUID& iid() { return IID_IAsyncAction; }
    static HRESULT STDMETHODCALLTYPE get_results(Operation*) { return step(GetResults).hr; }
};

template <class Result>
struct AsyncOperation {
    using Traits = AsyncTraits<Result>;
    using Operation = typename Traits::Operation;
    using Handler = typename Traits::Handler;

    const typename Traits::OperationVtbl* vtbl;
    const IAsyncInfoVtbl* info_vtbl;
    volatile LONG refs;
    bool factory;
    volatile LONG status;
    Handler* pending = nullptr;  // the handler of a Never operation, until it is cancelled
    Carried carried{};

    ~AsyncOperation() {
        if (pending != nullptr) pending->lpVtbl->Release(pending);
    }

    static AsyncOperation* of(Operation* self) { return reinterpret_cast<AsyncOperation*>(self); }
    static AsyncOperation* of(IAsyncInfo* self) { return owner<AsyncOperation>(self, offsetof(AsyncOperation, info_vtbl)); }
    Operation* as_operation() { return reinterpret_cast<Operation*>(this); }

    static HRESULT STDMETHODCALLTYPE query(Operation* self, const IID* iid, void** out) {
        AsyncOperation* op = of(self);
        *out = nullptr;
        if (same(iid, IID_IAsyncInfo)) {
            Step s = step(AsyncInfoQuery);
            if (s.produce) {
                *out = &op->info_vtbl;
                add_ref(op);
            }
            return s.hr;
        }
        if (same(iid, IID_IUnknown) || same(iid, IID_IInspectable) || same(iid, Traits::iid()) || same(iid, IID_IAgileObject)) {
            *out = self;
            add_ref(op);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    static ULONG STDMETHODCALLTYPE op_add_ref(Operation* self) { return add_ref(of(self)); }
    static ULONG STDMETHODCALLTYPE op_release(Operation* self) { return release(of(self)); }

    // Completes the operation (a cancelled one keeps the status it ended in) and tells the
    // handler, then lets the handler go.
    void complete(Handler* handler) {
        InterlockedCompareExchange(&status, g_control.final_status, AsyncStatus_Started);
        (void)handler->lpVtbl->Invoke(handler, as_operation(), status);
        handler->lpVtbl->Release(handler);
    }

    struct Later {
        AsyncOperation* op;  // a reference of its own
        Handler* handler;    // a reference of its own, or null
        bool invoke;
    };
    static DWORD WINAPI later(void* parameter) {
        Later* work = static_cast<Later*>(parameter);
        Sleep(g_control.later_ms);
        if (work->invoke) {
            work->op->complete(work->handler);
        } else {
            work->handler->lpVtbl->Release(work->handler);
        }
        op_release(work->op->as_operation());
        delete work;
        InterlockedDecrement(&g_control.pending_threads);
        return 0;
    }
    void run_later(Handler* handler, bool invoke) {
        add_ref(this);
        handler->lpVtbl->AddRef(handler);
        InterlockedIncrement(&g_control.pending_threads);
        HANDLE thread = CreateThread(nullptr, 0, &later, new Later{this, handler, invoke}, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }

    static HRESULT STDMETHODCALLTYPE put_completed(Operation* self, Handler* handler) {
        AsyncOperation* op = of(self);
        Step s = step(PutCompleted);
        if (FAILED(s.hr)) {
            // A platform that took the handler and failed anyway, and lets it go later.
            if (g_control.keep_failed_handler) op->run_later(handler, false);
            return s.hr;
        }
        if (g_control.completion == Completion::Later) {
            op->run_later(handler, true);
        } else if (g_control.completion == Completion::Never) {
            handler->lpVtbl->AddRef(handler);
            InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&op->pending), handler);
        } else {
            handler->lpVtbl->AddRef(handler);
            op->complete(handler);
        }
        return s.hr;
    }
    // GetResults as the platform's operations answer it once they have ended: Error fails
    // with the operation's error code and Canceled with E_ILLEGAL_METHOD_CALL, the code
    // the usual implementation library gives for results of a cancelled operation;
    // a completed operation hands out what its script says.
    template <class... Out>
    static HRESULT STDMETHODCALLTYPE results(Operation* self, Out*... out) {
        const LONG ended = of(self)->status;
        if (ended != AsyncStatus_Error && ended != AsyncStatus_Canceled) return Traits::get_results(self, out...);
        (void)step(GetResults);
        ((*out = Out{}), ...);
        return ended == AsyncStatus_Error ? g_control.error_code : kIllegalMethodCall;
    }
    static HRESULT STDMETHODCALLTYPE get_completed(Operation*, Handler** handler) {
        *handler = nullptr;
        return E_NOTIMPL;
    }

    static HRESULT STDMETHODCALLTYPE info_query(IAsyncInfo* self, const IID* iid, void** out) {
        return query(of(self)->as_operation(), iid, out);
    }
    static ULONG STDMETHODCALLTYPE info_add_ref(IAsyncInfo* self) { return add_ref(of(self)); }
    static ULONG STDMETHODCALLTYPE info_release(IAsyncInfo* self) { return release(of(self)); }
    static HRESULT STDMETHODCALLTYPE info_id(IAsyncInfo*, UINT32* id) {
        *id = 1;
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE info_status(IAsyncInfo* self, INT32* value) {
        Step s = step(GetStatus);
        if (SUCCEEDED(s.hr)) *value = of(self)->status;
        return s.hr;
    }
    static HRESULT STDMETHODCALLTYPE info_error(IAsyncInfo* self, HRESULT* code) {
        *code = of(self)->status == AsyncStatus_Error ? g_control.error_code : S_OK;
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE info_nothing(IAsyncInfo*) { return S_OK; }
    // A running operation ends in cancelled_status; one that would never complete then
    // completes on another thread after the delay, as a platform may.
    static HRESULT STDMETHODCALLTYPE info_cancel(IAsyncInfo* self) {
        AsyncOperation* op = of(self);
        Step s = step(Cancel);
        if (FAILED(s.hr)) return s.hr;
        InterlockedCompareExchange(&op->status, g_control.cancelled_status, AsyncStatus_Started);
        auto* handler = static_cast<Handler*>(
            InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&op->pending), nullptr));
        if (handler != nullptr) {
            op->run_later(handler, true);
            handler->lpVtbl->Release(handler);
        }
        return S_OK;
    }

    static constexpr typename Traits::OperationVtbl kVtbl = {&query,         &op_add_ref,    &op_release,
                                                             INSPECTABLE_STUBS(Operation), &put_completed,
                                                             &get_completed, &results};
    static constexpr IAsyncInfoVtbl kInfoVtbl = {&info_query,  &info_add_ref, &info_release, INSPECTABLE_STUBS(IAsyncInfo),
                                                 &info_id,     &info_status,  &info_error,   &info_cancel,
                                                 &info_nothing};

    static Operation* create() {
        const LONG initial = g_control.completion == Completion::Before ? g_control.final_status : 0;
        return born(new AsyncOperation{&kVtbl, &kInfoVtbl, 1, false, initial})->as_operation();
    }
};

// An operation that hands `carried` on to its results.
template <class Result>
typename AsyncTraits<Result>::Operation* carrying(Carried carried) {
    auto* operation = AsyncOperation<Result>::create();
    AsyncOperation<Result>::of(operation)->carried = std::move(carried);
    return operation;
}
const Carried& carried_by(IAsyncOperation_KeyCredentialRetrievalResult* operation) {
    return AsyncOperation<IKeyCredentialRetrievalResult>::of(operation)->carried;
}
const Carried& carried_by(IAsyncOperation_KeyCredentialOperationResult* operation) {
    return AsyncOperation<IKeyCredentialOperationResult>::of(operation)->carried;
}

IAsyncOperation_KeyCredentialOperationResult* new_sign_operation(Carried carried) {
    return carrying<IKeyCredentialOperationResult>(std::move(carried));
}
IAsyncOperation_KeyCredentialAttestationResult* new_attestation_operation() {
    return AsyncOperation<IKeyCredentialAttestationResult>::create();
}

// ---- factories ------------------------------------------------------------------------

void record_name(HSTRING name) {
    UINT32 length = 0;
    // Read through the platform's own string functions.
    const wchar_t* text = WindowsGetStringRawBuffer(name, &length);
    g_control.last_name_length = length;
    const UINT32 kept = length < 63 ? length : 63;
    std::wmemcpy(g_control.last_name, text, kept);
    g_control.last_name[kept] = 0;
}

// The operation of a create, with a new key for `name` if keys are real.
IAsyncOperation_KeyCredentialRetrievalResult* created(HSTRING name) {
    return carrying<IKeyCredentialRetrievalResult>({g_control.real_keys ? key_store().create(text_of(name)) : nullptr});
}

HRESULT STDMETHODCALLTYPE manager_create(IKeyCredentialManagerStatics*, HSTRING name, INT32 option,
                                         IAsyncOperation_KeyCredentialRetrievalResult** value) {
    record_name(name);
    g_control.last_option = option;
    return produce(RequestCreateAsync, value, [name] { return created(name); });
}
HRESULT STDMETHODCALLTYPE manager_open(IKeyCredentialManagerStatics*, HSTRING name,
                                       IAsyncOperation_KeyCredentialRetrievalResult** value) {
    record_name(name);
    return produce(OpenAsync, value, [name] {
        return carrying<IKeyCredentialRetrievalResult>({g_control.real_keys ? key_store().open(text_of(name)) : nullptr});
    });
}
HRESULT STDMETHODCALLTYPE manager_delete(IKeyCredentialManagerStatics*, HSTRING name, IAsyncAction** value) {
    record_name(name);
    return produce(DeleteAsync, value, [name] {
        key_store().erase(text_of(name));
        return AsyncOperation<void>::create();
    });
}
HRESULT STDMETHODCALLTYPE manager_is_supported(IKeyCredentialManagerStatics*, IAsyncOperation_boolean** value) {
    return produce(IsSupportedAsync, value, [] { return AsyncOperation<bool>::create(); });
}
HRESULT STDMETHODCALLTYPE manager_create_for_window(IKeyCredentialManagerCreateWithWindowStatics*, WindowId window,
                                                    HSTRING name, INT32 option,
                                                    IAsyncOperation_KeyCredentialRetrievalResult** value) {
    record_name(name);
    g_control.last_option = option;
    g_control.last_window = window.Value;
    return produce(RequestCreateForWindowAsync, value, [name] { return created(name); });
}
HRESULT STDMETHODCALLTYPE consent_check(IUserConsentVerifierStatics*,
                                        IAsyncOperation_UserConsentVerifierAvailability** value) {
    return produce(CheckAvailabilityAsync, value, [] { return AsyncOperation<Availability>::create(); });
}
HRESULT STDMETHODCALLTYPE consent_request(IUserConsentVerifierStatics*, HSTRING message,
                                          IAsyncOperation_UserConsentVerificationResult** value) {
    record_name(message);
    return produce(RequestVerificationAsync, value, [] { return AsyncOperation<Verification>::create(); });
}
HRESULT STDMETHODCALLTYPE consent_request_for_window(IUserConsentVerifierInterop*, HWND window, HSTRING message,
                                                     const IID* riid, void** value) {
    record_name(message);
    g_control.last_window = reinterpret_cast<UINT_PTR>(window);
    // Only the operation it makes can be asked for.
    if (!same(riid, IID_IAsyncOperation_UserConsentVerificationResult)) {
        *value = nullptr;
        return E_NOINTERFACE;
    }
    return produce(RequestVerificationForWindowAsync, reinterpret_cast<IAsyncOperation_UserConsentVerificationResult**>(value),
                   [] { return AsyncOperation<Verification>::create(); });
}
HRESULT STDMETHODCALLTYPE manager_renew(IKeyCredentialManagerStatics*, IInspectable** value) {
    *value = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE crypto_create(ICryptographicBufferStatics*, UINT32 size, BYTE* bytes, IBuffer** buffer) {
    g_control.last_data_length = size;
    if (size != 0) std::memcpy(g_control.last_data, bytes, size < sizeof g_control.last_data ? size : sizeof g_control.last_data);
    return produce(CreateFromByteArray, buffer, [&] { return new_buffer(bytes, size); });
}
HRESULT STDMETHODCALLTYPE crypto_copy(ICryptographicBufferStatics*, IBuffer* buffer, UINT32* size, BYTE** value) {
    *size = 0;
    *value = nullptr;
    Step s = step(CopyToByteArray);
    if (!s.produce) return s.hr;
    const Buffer* source = own_buffer(buffer);
    if (source == nullptr) return E_INVALIDARG;
    if (source->length != 0) {
        *value = static_cast<BYTE*>(CoTaskMemAlloc(source->length));
        std::memcpy(*value, source->data.data(), source->length);
    }
    *size = source->length;
    return s.hr;
}
HRESULT STDMETHODCALLTYPE crypto_base64(ICryptographicBufferStatics*, IBuffer*, HSTRING* value) {
    *value = nullptr;
    Step s = step(EncodeToBase64String);
    // The platform's own string, which the client releases.
    if (s.produce) (void)WindowsCreateString(g_control.base64, static_cast<UINT32>(std::wcslen(g_control.base64)), value);
    return s.hr;
}
HRESULT STDMETHODCALLTYPE crypto_compare(ICryptographicBufferStatics*, IBuffer*, IBuffer*, BYTE*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE crypto_random(ICryptographicBufferStatics*, UINT32, IBuffer** buffer) {
    *buffer = nullptr;
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE crypto_random_number(ICryptographicBufferStatics*, UINT32*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE crypto_decode(ICryptographicBufferStatics*, HSTRING, IBuffer** buffer) {
    *buffer = nullptr;
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE crypto_encode_hex(ICryptographicBufferStatics*, IBuffer*, HSTRING* value) {
    *value = nullptr;
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE crypto_to_binary(ICryptographicBufferStatics*, HSTRING, INT32, IBuffer** buffer) {
    *buffer = nullptr;
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE crypto_to_string(ICryptographicBufferStatics*, INT32, IBuffer*, HSTRING* value) {
    *value = nullptr;
    return E_NOTIMPL;
}

// One factory object per request: IActivationFactory, the class's statics, and a second
// interface of the factory where the class has one (answered as its script says).
template <class Statics, class Extra = IUnknown>
struct Factory {
    const IActivationFactoryVtbl* vtbl;
    const void* statics_vtbl;
    const void* extra_vtbl;  // null: none
    volatile LONG refs;
    bool factory;
    const GUID* statics_iid;
    const GUID* extra_iid;
    Method extra_query;

    static Factory* of(IActivationFactory* self) { return reinterpret_cast<Factory*>(self); }
    static Factory* of(Statics* self) { return owner<Factory>(self, offsetof(Factory, statics_vtbl)); }
    static Factory* of_extra(Extra* self) { return owner<Factory>(self, offsetof(Factory, extra_vtbl)); }

    static Factory* create(const void* statics, const GUID& statics_iid, const void* extra = nullptr,
                           const GUID* extra_iid = nullptr, Method extra_query = MethodCount) {
        return born(new Factory{&kVtbl, statics, extra, 1, true, &statics_iid, extra_iid, extra_query});
    }

    static HRESULT answer(Factory* f, const IID* iid, void** out) {
        *out = nullptr;
        if (same(iid, *f->statics_iid)) {
            Step s = step(StaticsQuery);
            if (s.produce) {
                *out = &f->statics_vtbl;
                add_ref(f);
            }
            return s.hr;
        }
        if (f->extra_vtbl != nullptr && same(iid, *f->extra_iid)) {
            Step s = step(f->extra_query);
            if (s.produce) {
                *out = &f->extra_vtbl;
                add_ref(f);
            }
            return s.hr;
        }
        if (same(iid, IID_IAgileObject)) {
            Step s = step(AgileQuery);
            if (s.produce) {
                *out = f;
                add_ref(f);
            }
            return s.hr;
        }
        if (same(iid, IID_IUnknown) || same(iid, IID_IInspectable) || same(iid, IID_IActivationFactory)) {
            *out = f;
            add_ref(f);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    static HRESULT STDMETHODCALLTYPE query(IActivationFactory* self, const IID* iid, void** out) {
        return answer(of(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE f_add_ref(IActivationFactory* self) { return add_ref(of(self)); }
    static ULONG STDMETHODCALLTYPE f_release(IActivationFactory* self) { return release(of(self)); }
    static HRESULT STDMETHODCALLTYPE activate(IActivationFactory*, IInspectable** instance) {
        *instance = nullptr;
        return E_NOTIMPL;
    }
    static HRESULT STDMETHODCALLTYPE s_query(Statics* self, const IID* iid, void** out) {
        return answer(of(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE s_add_ref(Statics* self) { return add_ref(of(self)); }
    static ULONG STDMETHODCALLTYPE s_release(Statics* self) { return release(of(self)); }
    static HRESULT STDMETHODCALLTYPE x_query(Extra* self, const IID* iid, void** out) {
        return answer(of_extra(self), iid, out);
    }
    static ULONG STDMETHODCALLTYPE x_add_ref(Extra* self) { return add_ref(of_extra(self)); }
    static ULONG STDMETHODCALLTYPE x_release(Extra* self) { return release(of_extra(self)); }

    static constexpr IActivationFactoryVtbl kVtbl = {&query, &f_add_ref, &f_release, INSPECTABLE_STUBS(IActivationFactory),
                                                     &activate};
};

using ManagerFactory = Factory<IKeyCredentialManagerStatics, IKeyCredentialManagerCreateWithWindowStatics>;
using CryptoFactory = Factory<ICryptographicBufferStatics>;
using ConsentFactory = Factory<IUserConsentVerifierStatics, IUserConsentVerifierInterop>;

constexpr IKeyCredentialManagerStaticsVtbl kManagerVtbl = {
    &ManagerFactory::s_query, &ManagerFactory::s_add_ref, &ManagerFactory::s_release,
    INSPECTABLE_STUBS(IKeyCredentialManagerStatics), &manager_is_supported, &manager_renew, &manager_create,
    &manager_open, &manager_delete};
constexpr IKeyCredentialManagerCreateWithWindowStaticsVtbl kManagerWindowVtbl = {
    &ManagerFactory::x_query, &ManagerFactory::x_add_ref, &ManagerFactory::x_release,
    INSPECTABLE_STUBS(IKeyCredentialManagerCreateWithWindowStatics), &manager_create_for_window};
constexpr ICryptographicBufferStaticsVtbl kCryptoVtbl = {
    &CryptoFactory::s_query, &CryptoFactory::s_add_ref, &CryptoFactory::s_release,
    INSPECTABLE_STUBS(ICryptographicBufferStatics), &crypto_compare, &crypto_random, &crypto_random_number,
    &crypto_create, &crypto_copy, &crypto_decode, &crypto_encode_hex, &crypto_decode, &crypto_base64,
    &crypto_to_binary, &crypto_to_string};
constexpr IUserConsentVerifierStaticsVtbl kConsentVtbl = {
    &ConsentFactory::s_query, &ConsentFactory::s_add_ref, &ConsentFactory::s_release,
    INSPECTABLE_STUBS(IUserConsentVerifierStatics), &consent_check, &consent_request};
constexpr IUserConsentVerifierInteropVtbl kConsentInteropVtbl = {
    &ConsentFactory::x_query, &ConsentFactory::x_add_ref, &ConsentFactory::x_release,
    INSPECTABLE_STUBS(IUserConsentVerifierInterop), &consent_request_for_window};

bool ends_with(const wchar_t* text, UINT32 length, const wchar_t* suffix) {
    const std::size_t n = std::wcslen(suffix);
    return length >= n && std::wmemcmp(text + length - n, suffix, n) == 0;
}

}  // namespace
}  // namespace bio::doubles

using namespace bio::doubles;

extern "C" __declspec(dllexport) Control* __cdecl bio_doubles_control() { return &g_control; }
// For callers that mirror Control in another language (the Windows Python suite's ctypes).
extern "C" __declspec(dllexport) unsigned __cdecl bio_doubles_control_size() { return sizeof(Control); }

// Serves CryptographicBuffer and UserConsentVerifier for those classes and
// KeyCredentialManager for any other name.
extern "C" __declspec(dllexport) HRESULT WINAPI DllGetActivationFactory(HSTRING class_name,
                                                                        bio::abi::IActivationFactory** factory) {
    *factory = nullptr;
    Step s = step(GetActivationFactory);
    if (!s.produce) return s.hr;
    UINT32 length = 0;
    const wchar_t* name = WindowsGetStringRawBuffer(class_name, &length);
    using namespace bio::abi;
    void* made = nullptr;
    if (ends_with(name, length, L".CryptographicBuffer")) {
        made = CryptoFactory::create(&kCryptoVtbl, IID_ICryptographicBufferStatics);
    } else if (ends_with(name, length, L".UserConsentVerifier")) {
        made = ConsentFactory::create(&kConsentVtbl, IID_IUserConsentVerifierStatics, &kConsentInteropVtbl,
                                      &IID_IUserConsentVerifierInterop, InteropQuery);
    } else {
        made = ManagerFactory::create(&kManagerVtbl, IID_IKeyCredentialManagerStatics, &kManagerWindowVtbl,
                                      &IID_IKeyCredentialManagerCreateWithWindowStatics, CreateWithWindowQuery);
    }
    *factory = static_cast<IActivationFactory*>(made);
    return s.hr;
}
