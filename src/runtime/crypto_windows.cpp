#include "runtime/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "runtime/unique_handle.h"

namespace bio::crypto {
namespace {

// From ntstatus.h, which does not go beside windows.h without ceremony.
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);
constexpr NTSTATUS kStatusAuthTagMismatch = static_cast<NTSTATUS>(0xC000A002L);

Code code_of(NTSTATUS status) noexcept { return HRESULT_FROM_NT(status); }

// CNG handles, each held by a std::unique_ptr that lets it go with the function for its
// kind. Declared after what it was made from, a handle goes first.
struct CloseAlgorithm {
    void operator()(BCRYPT_ALG_HANDLE handle) const noexcept { (void)BCryptCloseAlgorithmProvider(handle, 0); }
};
struct DestroyKey {
    void operator()(BCRYPT_KEY_HANDLE handle) const noexcept { (void)BCryptDestroyKey(handle); }
};
struct DestroyHash {
    void operator()(BCRYPT_HASH_HANDLE handle) const noexcept { (void)BCryptDestroyHash(handle); }
};
using Algorithm = std::unique_ptr<void, CloseAlgorithm>;
using Key = std::unique_ptr<void, DestroyKey>;
using Hash = std::unique_ptr<void, DestroyHash>;

// CNG counts in ULONG: anything longer is refused, never cut short.
bool fits(std::size_t size) noexcept { return size <= ULONG_MAX; }
ULONG size_of(ConstBytes bytes) noexcept { return static_cast<ULONG>(bytes.size()); }
// CNG's input pointers are not const; it only reads through them.
PUCHAR input(ConstBytes bytes) noexcept { return const_cast<PUCHAR>(bytes.data()); }

// A key or chaining value that is wiped when it goes.
struct Secret {
    Sha256 bytes{};
    Secret() noexcept = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { secure_zero(bytes); }
};

// The hash (or HMAC, with `key`) of the concatenated `parts` into `out`.
NTSTATUS digest(const Algorithm& algorithm, ConstBytes key, std::initializer_list<ConstBytes> parts,
                MutableBytes out) noexcept {
    Hash hash;
    NTSTATUS status = BCryptCreateHash(algorithm.get(), out_param(hash), nullptr, 0, input(key), size_of(key), 0);
    for (ConstBytes part : parts) {
        if (!BCRYPT_SUCCESS(status)) return status;
        status = BCryptHashData(hash.get(), input(part), size_of(part), 0);
    }
    if (!BCRYPT_SUCCESS(status)) return status;
    return BCryptFinishHash(hash.get(), out.data(), static_cast<ULONG>(out.size()), 0);
}

// An AES-256 key in GCM mode; the key goes before its provider.
struct GcmKey {
    Algorithm algorithm;
    Key key;
};
NTSTATUS make_gcm_key(ConstBytes bytes, GcmKey& out) noexcept {
    NTSTATUS status = BCryptOpenAlgorithmProvider(out_param(out.algorithm), BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        // The property takes the mode's name with its terminator, in bytes.
        status = BCryptSetProperty(out.algorithm.get(), BCRYPT_CHAINING_MODE,
                                   reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                   static_cast<ULONG>(sizeof BCRYPT_CHAIN_MODE_GCM), 0);
    }
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptGenerateSymmetricKey(out.algorithm.get(), out_param(out.key), nullptr, 0, input(bytes),
                                            size_of(bytes), 0);
    }
    return status;
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO gcm_info(ConstBytes nonce, ConstBytes aad, std::uint8_t* tag) noexcept {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = input(nonce);
    info.cbNonce = size_of(nonce);
    info.pbAuthData = aad.empty() ? nullptr : input(aad);
    info.cbAuthData = size_of(aad);
    info.pbTag = tag;
    info.cbTag = static_cast<ULONG>(kGcmTagSize);
    return info;
}

bool gcm_sizes_fit(ConstBytes key, ConstBytes nonce, std::size_t tag, ConstBytes aad, std::size_t in,
                   std::size_t out) noexcept {
    return key.size() == kAesKeySize && nonce.size() == kGcmNonceSize && tag == kGcmTagSize && in == out &&
           fits(aad.size()) && fits(in);
}

// ---- DER SubjectPublicKeyInfo of an RSA key -------------------------------------------

// Reads DER elements off the front of a byte range; every read stays inside it.
class DerReader {
public:
    explicit DerReader(ConstBytes bytes) noexcept : rest_(bytes) {}
    bool done() const noexcept { return rest_.empty(); }

    // The contents of the next element if it has `tag` and a definite length in its
    // shortest form.
    bool take(std::uint8_t tag, ConstBytes& contents) noexcept {
        if (rest_.size() < 2 || rest_[0] != tag) return false;
        std::size_t at = 2;
        std::size_t length = rest_[1];
        if (length >= 0x80) {
            const std::size_t count = length & 0x7f;
            // Our keys are far below 2^32 bytes; a zero count is BER's indefinite length.
            if (count == 0 || count > 4 || rest_.size() - at < count || rest_[at] == 0) return false;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | rest_[at++];
            if (length < 0x80) return false;
        }
        if (rest_.size() - at < length) return false;
        contents = rest_.subspan(at, length);
        rest_ = rest_.subspan(at + length);
        return true;
    }

    // A positive INTEGER's big-endian magnitude, without the sign octet.
    bool take_positive_integer(ConstBytes& magnitude) noexcept {
        ConstBytes contents;
        if (!take(0x02, contents) || contents.empty() || (contents[0] & 0x80) != 0) return false;
        if (contents[0] == 0) {
            // A leading zero only where the next octet would read as negative.
            if (contents.size() == 1 || (contents[1] & 0x80) == 0) return false;
            contents = contents.subspan(1);
        }
        magnitude = contents;
        return true;
    }

private:
    ConstBytes rest_;
};

constexpr std::uint8_t kRsaEncryption[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};  // 1.2.840.113549.1.1.1
constexpr std::size_t kMaxModulusSize = 16384 / 8;  // CNG's largest RSA key

struct RsaPublicKey {
    ConstBytes modulus;
    ConstBytes exponent;
};

// SEQUENCE { SEQUENCE { rsaEncryption, NULL or nothing }, BIT STRING { RSAPublicKey } },
// and nothing after it.
bool read_subject_public_key_info(ConstBytes der, RsaPublicKey& key) noexcept {
    DerReader outer(der);
    ConstBytes info, algorithm, bits, oid, parameters, rsa;
    if (!outer.take(0x30, info) || !outer.done()) return false;
    DerReader fields(info);
    if (!fields.take(0x30, algorithm) || !fields.take(0x03, bits) || !fields.done()) return false;
    DerReader identifier(algorithm);
    if (!identifier.take(0x06, oid) || !std::ranges::equal(oid, kRsaEncryption)) return false;
    if (!identifier.done() && (!identifier.take(0x05, parameters) || !parameters.empty() || !identifier.done())) {
        return false;
    }
    // The key is a whole number of octets: no unused bits.
    if (bits.empty() || bits[0] != 0) return false;
    DerReader key_bits(bits.subspan(1));
    if (!key_bits.take(0x30, rsa) || !key_bits.done()) return false;
    DerReader numbers(rsa);
    if (!numbers.take_positive_integer(key.modulus) || !numbers.take_positive_integer(key.exponent) ||
        !numbers.done()) {
        return false;
    }
    return key.modulus.size() <= kMaxModulusSize && key.exponent.size() <= key.modulus.size();
}

// BCRYPT_RSAKEY_BLOB, then the exponent and the modulus, both big-endian.
std::vector<std::uint8_t> rsa_public_blob(const RsaPublicKey& key) {
    ULONG bits = static_cast<ULONG>(key.modulus.size() - 1) * 8;
    for (unsigned top = key.modulus[0]; top != 0; top >>= 1) ++bits;
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = bits;
    header.cbPublicExp = size_of(key.exponent);
    header.cbModulus = size_of(key.modulus);
    std::vector<std::uint8_t> blob(sizeof header + key.exponent.size() + key.modulus.size());
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, key.exponent.data(), key.exponent.size());
    std::memcpy(blob.data() + sizeof header + key.exponent.size(), key.modulus.data(), key.modulus.size());
    return blob;
}

}  // namespace

Code random_bytes(MutableBytes out) noexcept {
    if (!fits(out.size())) return kNteFail;
    if (out.empty()) return kOk;
    const NTSTATUS status =
        BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return BCRYPT_SUCCESS(status) ? kOk : code_of(status);
}

Code sha256(ConstBytes data, Sha256& out) noexcept {
    if (!fits(data.size())) return kNteFail;
    Algorithm algorithm;
    NTSTATUS status = BCryptOpenAlgorithmProvider(out_param(algorithm), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) status = digest(algorithm, {}, {data}, out);
    return BCRYPT_SUCCESS(status) ? kOk : code_of(status);
}

// RFC 5869's two steps over CNG's HMAC-SHA256.
Code hkdf_sha256(ConstBytes ikm, ConstBytes salt, ConstBytes info, MutableBytes out) noexcept {
    if (out.size() > 255 * kSha256Size || !fits(ikm.size()) || !fits(salt.size()) || !fits(info.size())) {
        return kNteFail;
    }
    Algorithm hmac;
    NTSTATUS status =
        BCryptOpenAlgorithmProvider(out_param(hmac), BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    // Extract: no salt is a salt of zeros.
    const Sha256 zeros{};
    Secret prk;
    if (BCRYPT_SUCCESS(status)) status = digest(hmac, salt.empty() ? ConstBytes(zeros) : salt, {ikm}, prk.bytes);
    // Expand: T(i) = HMAC(PRK, T(i-1) | info | i).
    Secret block;
    ConstBytes previous;
    for (std::size_t at = 0, i = 1; BCRYPT_SUCCESS(status) && at < out.size(); at += kSha256Size, ++i) {
        const std::uint8_t counter = static_cast<std::uint8_t>(i);
        status = digest(hmac, prk.bytes, {previous, info, ConstBytes(&counter, 1)}, block.bytes);
        if (BCRYPT_SUCCESS(status)) {
            std::copy_n(block.bytes.begin(), std::min(kSha256Size, out.size() - at), out.begin() + at);
            previous = block.bytes;
        }
    }
    if (BCRYPT_SUCCESS(status)) return kOk;
    secure_zero(out);
    return code_of(status);
}

Code aes256gcm_seal(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes plaintext, MutableBytes ciphertext,
                    MutableBytes tag) noexcept {
    if (!gcm_sizes_fit(key, nonce, tag.size(), aad, plaintext.size(), ciphertext.size())) return kNteFail;
    GcmKey gcm;
    NTSTATUS status = make_gcm_key(key, gcm);
    if (BCRYPT_SUCCESS(status)) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = gcm_info(nonce, aad, tag.data());
        ULONG written = 0;
        status = BCryptEncrypt(gcm.key.get(), input(plaintext), size_of(plaintext), &info, nullptr, 0,
                               ciphertext.data(), static_cast<ULONG>(ciphertext.size()), &written, 0);
        if (BCRYPT_SUCCESS(status) && written == plaintext.size()) return kOk;
    }
    // Nothing half made is left behind.
    secure_zero(ciphertext);
    secure_zero(tag);
    return BCRYPT_SUCCESS(status) ? kNteFail : code_of(status);
}

Code aes256gcm_open(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes ciphertext, ConstBytes tag,
                    MutableBytes plaintext) noexcept {
    if (!gcm_sizes_fit(key, nonce, tag.size(), aad, ciphertext.size(), plaintext.size())) return kNteFail;
    GcmKey gcm;
    NTSTATUS status = make_gcm_key(key, gcm);
    if (BCRYPT_SUCCESS(status)) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = gcm_info(nonce, aad, const_cast<std::uint8_t*>(tag.data()));
        ULONG written = 0;
        status = BCryptDecrypt(gcm.key.get(), input(ciphertext), size_of(ciphertext), &info, nullptr, 0,
                               plaintext.data(), static_cast<ULONG>(plaintext.size()), &written, 0);
        if (BCRYPT_SUCCESS(status) && written == ciphertext.size()) return kOk;
    }
    // Not one byte of a text whose tag does not verify is kept.
    secure_zero(plaintext);
    if (status == kStatusAuthTagMismatch) return kNteBadData;
    return BCRYPT_SUCCESS(status) ? kNteFail : code_of(status);
}

Code rsa_pkcs1_sha256_verify(ConstBytes subject_public_key_info, ConstBytes message, ConstBytes signature) noexcept {
    RsaPublicKey parsed;
    if (!read_subject_public_key_info(subject_public_key_info, parsed) || !fits(message.size()) ||
        !fits(signature.size())) {
        return kNteFail;
    }
    const std::vector<std::uint8_t> blob = rsa_public_blob(parsed);
    Algorithm rsa;
    NTSTATUS status = BCryptOpenAlgorithmProvider(out_param(rsa), BCRYPT_RSA_ALGORITHM, nullptr, 0);
    Key key;
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, out_param(key), input(blob),
                                     size_of(blob), 0);
    }
    if (!BCRYPT_SUCCESS(status)) return code_of(status);
    // A signature is exactly as long as the modulus; CNG may call any other length a bad
    // parameter rather than a bad signature.
    if (signature.size() != parsed.modulus.size()) return kNteBadSignature;
    Sha256 hash;
    if (const Code code = sha256(message, hash); code != kOk) return code;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    status = BCryptVerifySignature(key.get(), &padding, hash.data(), static_cast<ULONG>(hash.size()),
                                   input(signature), size_of(signature), BCRYPT_PAD_PKCS1);
    if (BCRYPT_SUCCESS(status)) return kOk;
    return status == kStatusInvalidSignature ? kNteBadSignature : code_of(status);
}

void secure_zero(MutableBytes bytes) noexcept {
    if (!bytes.empty()) SecureZeroMemory(bytes.data(), bytes.size());
}

}  // namespace bio::crypto
