#include "keyd/tpm_keys.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "runtime/openssl_ptr.h"
#include "local/unique_fd.h"

namespace bio::keyd::tpm {
namespace {

// Output of an ESAPI call, freed by the stack's own free.
struct EsysFree {
    decltype(&::Esys_Free) free;
    void operator()(void* p) const noexcept { free(p); }
};
template <typename T>
using EsysPtr = std::unique_ptr<T, EsysFree>;

template <typename T>
EsysPtr<T> esys_owned(const TssFunctions& tss, T* p) noexcept {
    return EsysPtr<T>(p, EsysFree{tss.Esys_Free});
}

std::int32_t code_for(TSS2_RC rc) noexcept {
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    if (layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER) {
        const TSS2_RC tpm = rc & 0xFFFu;
        if (tpm == TPM2_RC_RETRY || tpm == TPM2_RC_YIELDED || tpm == TPM2_RC_TESTING) return kTpmBusy;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(kTpmResponseBase) | tpm);
    }
    if ((rc & 0xFFFFu) == TSS2_BASE_RC_TRY_AGAIN) return kTpmBusy;
    return kTpmInternalError;
}

std::string rc_text(const TssFunctions& tss, TSS2_RC rc) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(rc));
    if (tss.Tss2_RC_Decode == nullptr) return std::string("TSS error ") + hex;
    return std::string(tss.Tss2_RC_Decode(rc)) + " (" + hex + ")";
}

PlatformError errno_error(int error, const std::string& path) {
    const std::string text = path + ": " + std::error_code(error, std::generic_category()).message();
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return PlatformError::with_text(kTpmNotFound, "no TPM at " + text);
        case EACCES:
        case EPERM:
            return PlatformError::with_text(kTpmAccessDenied, "the TPM cannot be opened: " + text);
        case EBUSY:
            return PlatformError::with_text(kTpmBusy, "the TPM is in use: " + text);
        default:
            return PlatformError::with_text(kTpmInternalError, "the TPM cannot be opened: " + text);
    }
}


// The owner hierarchy's storage primary: ECC P-256, AES-128-CFB, SHA-256, empty unique,
// as the TCG's storage-key template; the same template always gives the same key.
TPM2B_PUBLIC primary_template() noexcept {
    TPM2B_PUBLIC t{};
    TPMT_PUBLIC& area = t.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT | TPMA_OBJECT_FIXEDTPM |
                            TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                            TPMA_OBJECT_NODA;
    area.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_AES;
    area.parameters.eccDetail.symmetric.keyBits.aes = 128;
    area.parameters.eccDetail.symmetric.mode.aes = TPM2_ALG_CFB;
    area.parameters.eccDetail.scheme.scheme = TPM2_ALG_NULL;
    area.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
    area.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
    return t;
}

TPM2B_PUBLIC signing_key_template() noexcept {
    TPM2B_PUBLIC t{};
    TPMT_PUBLIC& area = t.publicArea;
    area.type = TPM2_ALG_RSA;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                            TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA;
    area.parameters.rsaDetail.symmetric.algorithm = TPM2_ALG_NULL;
    area.parameters.rsaDetail.scheme.scheme = TPM2_ALG_RSASSA;
    area.parameters.rsaDetail.scheme.details.rsassa.hashAlg = TPM2_ALG_SHA256;
    area.parameters.rsaDetail.keyBits = 2048;
    area.parameters.rsaDetail.exponent = 0;  // the default, 65537
    return t;
}

Outcome<TPM2B_PUBLIC> unmarshal_public(const TssFunctions& tss, const std::vector<std::uint8_t>& bytes) {
    TPM2B_PUBLIC area{};
    std::size_t offset = 0;
    if (tss.Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes.data(), bytes.size(), &offset, &area) != TSS2_RC_SUCCESS ||
        offset != bytes.size() || area.publicArea.type != TPM2_ALG_RSA || area.publicArea.unique.rsa.size == 0) {
        return PlatformError::with_text(kTpmBadKey, "the key's public area is not an RSA key");
    }
    return area;
}

Outcome<TPM2B_PRIVATE> unmarshal_private(const TssFunctions& tss, const std::vector<std::uint8_t>& bytes) {
    TPM2B_PRIVATE area{};
    std::size_t offset = 0;
    if (tss.Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes.data(), bytes.size(), &offset, &area) != TSS2_RC_SUCCESS ||
        offset != bytes.size()) {
        return PlatformError::with_text(kTpmBadKey, "the key's private area is damaged");
    }
    return area;
}

// The areas as the key file keeps them: each with its size, in the TPM's byte order.
Outcome<KeyBlob> marshal_areas(const TssFunctions& tss, const TPM2B_PUBLIC& pub, const TPM2B_PRIVATE& priv) {
    std::uint8_t buffer[sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE)];
    KeyBlob key;
    std::size_t offset = 0;
    if (const TSS2_RC rc = tss.Tss2_MU_TPM2B_PUBLIC_Marshal(&pub, buffer, sizeof buffer, &offset); rc != 0) {
        return tss_error(tss, rc, "marshalling the public area");
    }
    key.public_area.assign(buffer, buffer + offset);
    offset = 0;
    if (const TSS2_RC rc = tss.Tss2_MU_TPM2B_PRIVATE_Marshal(&priv, buffer, sizeof buffer, &offset); rc != 0) {
        return tss_error(tss, rc, "marshalling the private area");
    }
    key.private_area.assign(buffer, buffer + offset);
    return key;
}

constexpr std::uint8_t kKeyFileMagic[6] = {'b', 'i', 'o', 't', 'p', 'm'};
constexpr std::uint8_t kKeyFileVersion = 1;

// A TPM2B at `offset`: its two-byte big-endian size and that many bytes, within `file`.
std::optional<std::vector<std::uint8_t>> take_sized(std::span<const std::uint8_t> file, std::size_t& offset) {
    if (file.size() - offset < 2) return std::nullopt;
    const std::size_t size = std::size_t{file[offset]} << 8 | file[offset + 1];
    if (size == 0 || file.size() - offset - 2 < size) return std::nullopt;
    std::vector<std::uint8_t> out(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                  file.begin() + static_cast<std::ptrdiff_t>(offset + 2 + size));
    offset += 2 + size;
    return out;
}

}  // namespace

std::optional<PlatformError> check_device_node(const std::string& tcti) {
    constexpr std::string_view prefix = "device:";
    if (tcti.compare(0, prefix.size(), prefix) != 0 || tcti.size() == prefix.size()) return std::nullopt;
    const std::string path = tcti.substr(prefix.size());
    const local::UniqueFd node(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!node) return errno_error(errno, path);
    return std::nullopt;
}

PlatformError tss_error(const TssFunctions& tss, TSS2_RC rc, const char* what) {
    return PlatformError::with_text(code_for(rc), std::string(what) + ": " + rc_text(tss, rc));
}

Outcome<const TssFunctions*> loaded_functions(const TssLoad& load) {
    if (!load.functions) return PlatformError::with_text(kTpmNotFound, load.error);
    return &*load.functions;
}

std::vector<std::uint8_t> encode_key_file(const KeyBlob& key) {
    std::vector<std::uint8_t> file(std::begin(kKeyFileMagic), std::end(kKeyFileMagic));
    file.push_back(kKeyFileVersion);
    file.insert(file.end(), key.public_area.begin(), key.public_area.end());
    file.insert(file.end(), key.private_area.begin(), key.private_area.end());
    return file;
}

std::optional<KeyBlob> decode_key_file(std::span<const std::uint8_t> file) {
    constexpr std::size_t header = sizeof kKeyFileMagic + 1;
    if (file.size() < header || !std::equal(std::begin(kKeyFileMagic), std::end(kKeyFileMagic), file.begin()) ||
        file[sizeof kKeyFileMagic] != kKeyFileVersion) {
        return std::nullopt;
    }
    std::size_t offset = header;
    auto public_area = take_sized(file, offset);
    if (!public_area) return std::nullopt;
    auto private_area = take_sized(file, offset);
    if (!private_area || offset != file.size()) return std::nullopt;
    return KeyBlob{std::move(*public_area), std::move(*private_area)};
}

Outcome<TpmConnection> TpmConnection::open(const TssFunctions& tss, const std::string& tcti) {
    if (auto error = check_device_node(tcti)) return std::move(*error);
    TSS2_TCTI_CONTEXT* tcti_context = nullptr;
    if (const TSS2_RC rc = tss.Tss2_TctiLdr_Initialize(tcti.c_str(), &tcti_context); rc != TSS2_RC_SUCCESS) {
        return PlatformError::with_text(kTpmNotFound, "no TPM answers at \"" + tcti + "\": " + rc_text(tss, rc));
    }
    keep_tcti_module_loaded(tcti);
    ESYS_CONTEXT* esys = nullptr;
    if (const TSS2_RC rc = tss.Esys_Initialize(&esys, tcti_context, nullptr); rc != TSS2_RC_SUCCESS) {
        tss.Tss2_TctiLdr_Finalize(&tcti_context);
        return tss_error(tss, rc, "Esys_Initialize");
    }
    return TpmConnection(tss, tcti_context, esys);
}

Outcome<std::vector<std::uint8_t>> sign_loaded(TpmConnection& c, ESYS_TR key, std::span<const std::uint8_t, 32> sha256) {
    TPM2B_DIGEST digest{};
    digest.size = static_cast<UINT16>(sha256.size());
    std::copy(sha256.begin(), sha256.end(), digest.buffer);
    TPMT_SIG_SCHEME scheme{};
    scheme.scheme = TPM2_ALG_RSASSA;
    scheme.details.rsassa.hashAlg = TPM2_ALG_SHA256;
    // The key is not restricted: it signs a digest from outside with the null ticket.
    TPMT_TK_HASHCHECK validation{};
    validation.tag = TPM2_ST_HASHCHECK;
    validation.hierarchy = TPM2_RH_NULL;
    TPMT_SIGNATURE* raw = nullptr;
    const TssFunctions& tss = c.tss();
    const TSS2_RC rc = tss.Esys_Sign(c.esys(), key, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &digest, &scheme,
                                     &validation, &raw);
    const auto signature = esys_owned(tss, raw);
    if (rc != TSS2_RC_SUCCESS) return tss_error(tss, rc, "Sign");
    if (signature->sigAlg != TPM2_ALG_RSASSA) {
        return PlatformError::with_text(kTpmInternalError, "the TPM's signature is not RSASSA");
    }
    const TPM2B_PUBLIC_KEY_RSA& bytes = signature->signature.rsassa.sig;
    return std::vector<std::uint8_t>(bytes.buffer, bytes.buffer + bytes.size);
}

Outcome<std::vector<std::uint8_t>> public_key_der(const TssFunctions& tss, const KeyBlob& key) {
    auto area = unmarshal_public(tss, key.public_area);
    if (!area.ok()) return std::move(area.error());
    const TPMS_RSA_PARMS& parameters = area.value().publicArea.parameters.rsaDetail;
    const TPM2B_PUBLIC_KEY_RSA& modulus = area.value().publicArea.unique.rsa;
    const auto failed = [] {
        ERR_clear_error();
        return PlatformError::with_text(kTpmInternalError, "the public key cannot be encoded");
    };
    OpensslPtr<BIGNUM, BN_free> n(BN_bin2bn(modulus.buffer, modulus.size, nullptr));
    OpensslPtr<BIGNUM, BN_free> e(BN_new());
    OpensslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    if (!n || !e || !build || BN_set_word(e.get(), parameters.exponent == 0 ? 65537 : parameters.exponent) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        return failed();
    }
    OpensslPtr<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.get()));
    OpensslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return failed();
    }
    const OpensslPtr<EVP_PKEY, EVP_PKEY_free> pkey(raw);
    const int length = i2d_PUBKEY(pkey.get(), nullptr);
    if (length <= 0) return failed();
    std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_PUBKEY(pkey.get(), &out) != length) return failed();
    return der;
}

KeyAuth::~KeyAuth() { OPENSSL_cleanse(bytes.data(), bytes.size()); }

std::optional<KeyAuth> KeyAuth::random() {
    KeyAuth auth;
    if (RAND_priv_bytes(auth.bytes.data(), static_cast<int>(auth.bytes.size())) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return auth;
}

void TransientObject::reset() noexcept {
    if (handle_ != ESYS_TR_NONE) c_->tss().Esys_FlushContext(c_->esys(), std::exchange(handle_, ESYS_TR_NONE));
}

Outcome<TransientObject> create_storage_primary(TpmConnection& c) {
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_PUBLIC in_public = primary_template();
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    ESYS_TR handle = ESYS_TR_NONE;
    const TSS2_RC rc = c.tss().Esys_CreatePrimary(c.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                                  ESYS_TR_NONE, &sensitive, &in_public, &outside, &pcrs, &handle,
                                                  nullptr, nullptr, nullptr, nullptr);
    if (rc != TSS2_RC_SUCCESS) return tss_error(c.tss(), rc, "CreatePrimary");
    return TransientObject(c, handle);
}

Outcome<KeyBlob> create_signing_key_under(TpmConnection& c, ESYS_TR parent, const KeyAuth& auth) {
    const TssFunctions& tss = c.tss();
    TPM2B_SENSITIVE_CREATE sensitive{};
    sensitive.sensitive.userAuth.size = static_cast<UINT16>(auth.bytes.size());
    std::copy(auth.bytes.begin(), auth.bytes.end(), sensitive.sensitive.userAuth.buffer);
    const TPM2B_PUBLIC in_public = signing_key_template();
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE* raw_private = nullptr;
    TPM2B_PUBLIC* raw_public = nullptr;
    const TSS2_RC rc = tss.Esys_Create(c.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                                       &in_public, &outside, &pcrs, &raw_private, &raw_public, nullptr, nullptr,
                                       nullptr);
    OPENSSL_cleanse(&sensitive, sizeof sensitive);
    const auto out_private = esys_owned(tss, raw_private);
    const auto out_public = esys_owned(tss, raw_public);
    if (rc != TSS2_RC_SUCCESS) return tss_error(tss, rc, "Create");
    return marshal_areas(tss, *out_public, *out_private);
}

Outcome<TransientObject> load_key_under(TpmConnection& c, ESYS_TR parent, const KeyBlob& key, const KeyAuth& auth) {
    auto in_public = unmarshal_public(c.tss(), key.public_area);
    if (!in_public.ok()) return std::move(in_public.error());
    auto in_private = unmarshal_private(c.tss(), key.private_area);
    if (!in_private.ok()) return std::move(in_private.error());
    ESYS_TR handle = ESYS_TR_NONE;
    const TSS2_RC rc = c.tss().Esys_Load(c.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                         &in_private.value(), &in_public.value(), &handle);
    if (rc != TSS2_RC_SUCCESS) return tss_error(c.tss(), rc, "Load");
    TransientObject loaded(c, handle);
    TPM2B_AUTH value{};
    value.size = static_cast<UINT16>(auth.bytes.size());
    std::copy(auth.bytes.begin(), auth.bytes.end(), value.buffer);
    const TSS2_RC set = c.tss().Esys_TR_SetAuth(c.esys(), handle, &value);
    OPENSSL_cleanse(&value, sizeof value);
    if (set != TSS2_RC_SUCCESS) return tss_error(c.tss(), set, "TR_SetAuth");
    return loaded;
}

Outcome<void> startup(TpmConnection& c) {
    const TSS2_RC rc = c.tss().Esys_Startup(c.esys(), TPM2_SU_CLEAR);
    if (rc != TSS2_RC_SUCCESS) return tss_error(c.tss(), rc, "Startup");
    return {};
}

Outcome<void> ping(TpmConnection& c) {
    TPM2B_DIGEST* raw = nullptr;
    const TSS2_RC rc = c.tss().Esys_GetRandom(c.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, 1, &raw);
    const auto bytes = esys_owned(c.tss(), raw);
    if (rc != TSS2_RC_SUCCESS) return tss_error(c.tss(), rc, "GetRandom");
    return {};
}

}  // namespace bio::keyd::tpm
