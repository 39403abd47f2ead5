#include "standin/rsa_key.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

namespace bio::standin {
namespace {

struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// The library's text for the failure, with the queue emptied so that a later call on
// this thread does not see it.
std::string take_library_error(const char* what) {
    std::string text = what;
    unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

// Never asks for a passphrase: an encrypted key file is one this platform did not write,
// and the default would prompt on the terminal.
int refuse_passphrase(char*, int, int, void*) { return -1; }

bool verifies_sha256(EVP_PKEY* key, const std::uint8_t* data, std::size_t size,
                     const std::vector<std::uint8_t>& signature) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;  // owned by ctx
    const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), &pkey_ctx, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PADDING) > 0 &&
                    EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data, size) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace

void PkeyDeleter::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

SecretBytes::~SecretBytes() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

PkeyPtr generate_key(std::string& error) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) <= 0) {
        error = take_library_error("cannot set up RSA key generation");
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) <= 0) {
        error = take_library_error("RSA key generation failed");
        return nullptr;
    }
    return PkeyPtr(key);
}

std::optional<SecretBytes> private_key_pem(EVP_PKEY* key, std::string& error) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        error = take_library_error("cannot write the private key as PEM");
        return std::nullopt;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || data == nullptr) {
        error = take_library_error("cannot write the private key as PEM");
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    return SecretBytes(std::vector<std::uint8_t>(bytes, bytes + size));
}

PkeyPtr parse_private_key_pem(const std::uint8_t* pem, std::size_t size, std::string& error) {
    if (size > INT_MAX) {
        error = "the key file is too large";
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(pem, static_cast<int>(size)));
    if (!bio) {
        error = take_library_error("cannot read the key file");
        return nullptr;
    }
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr));
    if (!key) {
        error = take_library_error("the key file holds no readable private key");
        return nullptr;
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA") || EVP_PKEY_get_bits(key.get()) != kKeyBits) {
        error = "the key file holds a key other than RSA-2048";
        return nullptr;
    }
    // A damaged file can still parse. Its numbers must also sign what its own public
    // half verifies, or every signature made with it would be refused. (The library's
    // own consistency checks test the primes and take tens of milliseconds.)
    static const std::uint8_t kProbe[] = {'k', 'e', 'y', ' ', 'c', 'h', 'e', 'c', 'k'};
    std::optional<std::vector<std::uint8_t>> probe_signature = sign_sha256(key.get(), kProbe, sizeof kProbe, error);
    if (!probe_signature || !verifies_sha256(key.get(), kProbe, sizeof kProbe, *probe_signature)) {
        error = "the key file holds no consistent key pair";
        return nullptr;
    }
    return key;
}

std::optional<std::vector<std::uint8_t>> public_key_der(EVP_PKEY* key, std::string& error) {
    int size = i2d_PUBKEY(key, nullptr);
    if (size <= 0) {
        error = take_library_error("cannot encode the public key");
        return std::nullopt;
    }
    std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    if (i2d_PUBKEY(key, &out) != size) {
        error = take_library_error("cannot encode the public key");
        return std::nullopt;
    }
    return der;
}

std::optional<std::vector<std::uint8_t>> sign_sha256(EVP_PKEY* key, const std::uint8_t* data, std::size_t size,
                                                     std::string& error) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;  // owned by ctx
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pkey_ctx, EVP_sha256(), nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PADDING) <= 0) {
        error = take_library_error("cannot set up signing");
        return std::nullopt;
    }
    // The data goes in pieces so that no length has to fit a narrower type; no data is
    // the digest of nothing.
    for (std::size_t done = 0; done < size;) {
        std::size_t piece = std::min<std::size_t>(size - done, std::size_t{1} << 30);
        if (EVP_DigestSignUpdate(ctx.get(), data + done, piece) != 1) {
            error = take_library_error("signing failed");
            return std::nullopt;
        }
        done += piece;
    }
    std::size_t length = 0;
    if (EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
        error = take_library_error("signing failed");
        return std::nullopt;
    }
    std::vector<std::uint8_t> signature(length);
    if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1) {
        error = take_library_error("signing failed");
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

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

bool random_bytes(std::uint8_t* out, std::size_t size) noexcept {
    if (size > INT_MAX) return false;
    if (RAND_bytes(out, static_cast<int>(size)) == 1) return true;
    ERR_clear_error();
    return false;
}

}  // namespace bio::standin
