#include "envelope.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/crypto.h"

namespace bio {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'B', 'I', 'O', 'S', 'E', 'A', 'L', 0x01};
constexpr std::size_t kHashAt = 8;
constexpr std::size_t kChallengeAt = 40;
constexpr std::size_t kNonceAt = 72;
constexpr std::size_t kChallengeSize = 32;
// "biometric seal v1" and its terminating zero byte.
constexpr std::string_view kDomain("biometric seal v1\0", 18);

using Bytes = std::vector<std::uint8_t>;

crypto::ConstBytes view(ByteView bytes) { return {bytes.data, bytes.size}; }

// The domain followed by `tail`.
Bytes after_domain(const void* tail, std::size_t size) {
    Bytes bytes(kDomain.size() + size);
    std::memcpy(bytes.data(), kDomain.data(), kDomain.size());
    if (size != 0) std::memcpy(bytes.data() + kDomain.size(), tail, size);
    return bytes;
}

// The message the credential signs for the envelope whose header is `header`.
Bytes seal_message(const std::uint8_t* header) { return after_domain(header + kChallengeAt, kChallengeSize); }

// The envelope's AES key: HKDF-SHA256 of the signature; wiped by its holder.
crypto::Code derive_key(const Bytes& signature, const std::uint8_t* header, TextView key_name, SecretBytes& key) {
    const Bytes info = after_domain(key_name.data(), key_name.size());
    return crypto::hkdf_sha256(signature, {header + kChallengeAt, kChallengeSize}, info, key.bytes());
}

template <class Result>
const Bytes* bytes_of(const Result& result) {
    return std::get_if<Bytes>(&result);
}

// A credential opened for an envelope: its public key and that key's SHA-256.
struct KeyedCredential {
    OpenedCredential credential;
    Bytes public_key;
    crypto::Sha256 hash;
};

std::variant<KeyedCredential, CredentialErrorCode> open_keyed(KeyCredentialPlatform& platform, TextView key_name) {
    auto opened = OpenedCredential::open(platform, key_name);
    if (const auto* code = std::get_if<CredentialErrorCode>(&opened)) return *code;
    auto public_key = std::get<OpenedCredential>(opened).public_key();
    if (const auto* code = std::get_if<CredentialErrorCode>(&public_key)) return *code;
    KeyedCredential keyed{std::move(std::get<OpenedCredential>(opened)), std::move(std::get<Bytes>(public_key)), {}};
    if (crypto::Code code = crypto::sha256(keyed.public_key, keyed.hash)) return code;
    return keyed;
}

}  // namespace

SecretBytes::~SecretBytes() { crypto::secure_zero(bytes_); }

SealOutcome seal_secret(KeyCredentialPlatform& platform, TextView key_name, ByteView secret, WindowHandle window,
                        std::span<std::uint8_t> envelope) {
    if (envelope.size() != envelope_size(secret.size)) return crypto::kNteFail;
    auto opened = open_keyed(platform, key_name);
    if (const auto* code = std::get_if<CredentialErrorCode>(&opened)) return *code;
    KeyedCredential& keyed = std::get<KeyedCredential>(opened);

    std::uint8_t* header = envelope.data();
    std::copy(kMagic.begin(), kMagic.end(), header);
    std::copy(keyed.hash.begin(), keyed.hash.end(), header + kHashAt);
    if (crypto::Code code = crypto::random_bytes({header + kChallengeAt, kChallengeSize + crypto::kGcmNonceSize})) {
        return code;
    }

    const Bytes message = seal_message(header);
    SigningResult signature = keyed.credential.sign(ByteView{message.data(), message.size()}, window);
    if (const auto* code = std::get_if<CredentialErrorCode>(&signature)) return *code;
    // The name may have another credential, or none, after the wait for the user: unseal
    // would open the name's credential now, so that is the one the envelope must be under.
    // Failing here loses nothing: the secret is still the caller's.
    {
        auto now = open_keyed(platform, key_name);
        if (const auto* code = std::get_if<CredentialErrorCode>(&now)) return *code;
        const crypto::Sha256& hash = std::get<KeyedCredential>(now).hash;
        if (!std::equal(hash.begin(), hash.end(), keyed.hash.begin())) {
            return EnvelopeProblem{
                "the credential of this name was replaced while the user was verified: an envelope sealed with "
                "the one before would not open; nothing was sealed"};
        }
    }
    // The one signature the credential gives for this message, or no envelope at all.
    if (crypto::Code code = crypto::rsa_pkcs1_sha256_verify(keyed.public_key, message, *bytes_of(signature))) {
        return code;
    }

    SecretBytes key(crypto::kAesKeySize);
    if (crypto::Code code = derive_key(*bytes_of(signature), header, key_name, key)) return code;
    const std::size_t n = secret.size;
    if (crypto::Code code = crypto::aes256gcm_seal(key.bytes(), {header + kNonceAt, crypto::kGcmNonceSize},
                                                   {header, kEnvelopeHeaderSize}, view(secret),
                                                   {header + kEnvelopeHeaderSize, n},
                                                   {header + kEnvelopeHeaderSize + n, crypto::kGcmTagSize})) {
        return code;
    }
    return std::monostate{};
}

UnsealOutcome unseal_secret(KeyCredentialPlatform& platform, TextView key_name, ByteView envelope,
                            WindowHandle window, std::span<std::uint8_t> secret) {
    if (envelope.size < kEnvelopeOverhead || !std::equal(kMagic.begin(), kMagic.end() - 1, envelope.data)) {
        return EnvelopeProblem{"not an envelope of seal: it is too short or does not begin with b'BIOSEAL'"};
    }
    const std::uint8_t* header = envelope.data;
    if (header[kMagic.size() - 1] != kMagic.back()) {
        return EnvelopeProblem{"an envelope of version " + std::to_string(header[kMagic.size() - 1]) +
                               ", which this version cannot open"};
    }
    if (secret.size() != secret_size(envelope.size)) return crypto::kNteFail;

    auto opened = open_keyed(platform, key_name);
    if (const auto* code = std::get_if<CredentialErrorCode>(&opened)) return *code;
    KeyedCredential& keyed = std::get<KeyedCredential>(opened);
    // Checked before the user is asked: a prompt that cannot open the envelope is none.
    if (!std::equal(keyed.hash.begin(), keyed.hash.end(), header + kHashAt)) {
        return EnvelopeProblem{
            "the envelope was sealed with another credential than the one of this name: the credential was "
            "replaced or made again since, or the envelope belongs to another name"};
    }

    const Bytes message = seal_message(header);
    SigningResult signature = keyed.credential.sign(ByteView{message.data(), message.size()}, window);
    if (const auto* code = std::get_if<CredentialErrorCode>(&signature)) return *code;
    SecretBytes key(crypto::kAesKeySize);
    if (crypto::Code code = derive_key(*bytes_of(signature), header, key_name, key)) return code;

    const std::size_t n = secret.size();
    const crypto::Code code = crypto::aes256gcm_open(
        key.bytes(), {header + kNonceAt, crypto::kGcmNonceSize}, {header, kEnvelopeHeaderSize},
        {header + kEnvelopeHeaderSize, n}, {header + kEnvelopeHeaderSize + n, crypto::kGcmTagSize}, secret);
    if (code == crypto::kNteBadData) {
        return EnvelopeProblem{"the envelope is damaged or altered, or was sealed under another name: it does not verify"};
    }
    if (code != crypto::kOk) return code;
    return std::monostate{};
}

}  // namespace bio
