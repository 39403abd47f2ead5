// The cryptography seam against published vectors: RFC 5869's HKDF-SHA256 cases and
// AES-256-GCM test case 16 of McGrew and Viega's "The Galois/Counter Mode of Operation";
// and RSA verification against a key and signature made once with OpenSSL's command line.
// The Windows build runs the same tests under Wine.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/crypto.h"

namespace bio::crypto {
namespace {

std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

struct HkdfRow {
    const char* name;
    const char* ikm;
    const char* salt;
    const char* info;
    const char* okm;
};

class Hkdf : public ::testing::TestWithParam<HkdfRow> {};

TEST_P(Hkdf, MatchesRfc5869) {
    const HkdfRow& row = GetParam();
    const std::vector<std::uint8_t> expected = hex(row.okm);
    std::vector<std::uint8_t> okm(expected.size());
    ASSERT_EQ(hkdf_sha256(hex(row.ikm), hex(row.salt), hex(row.info), okm), kOk);
    EXPECT_EQ(okm, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Hkdf,
    ::testing::Values(
        HkdfRow{"Basic", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "000102030405060708090a0b0c", "f0f1f2f3f4f5f6f7f8f9",
                "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        HkdfRow{"NoSaltNoInfo", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "", "",
                "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"}),
    [](const ::testing::TestParamInfo<HkdfRow>& info) { return std::string(info.param.name); });

TEST(AesGcm, SealsTheGcmVectorAndRefusesAnyAlteredByte) {
    const auto key = hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    const auto nonce = hex("cafebabefacedbaddecaf888");
    const auto aad = hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    const auto plaintext = hex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525"
        "b16aedf5aa0de657ba637b39");
    const auto expected = hex(
        "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838"
        "c5f61e6393ba7a0abcc9f662");
    const auto expected_tag = hex("76fc6ece0f4e1768cddf8853bb2d551b");

    std::vector<std::uint8_t> ciphertext(plaintext.size()), tag(kGcmTagSize);
    ASSERT_EQ(aes256gcm_seal(key, nonce, aad, plaintext, ciphertext, tag), kOk);
    EXPECT_EQ(ciphertext, expected);
    EXPECT_EQ(tag, expected_tag);

    std::vector<std::uint8_t> opened(ciphertext.size());
    ASSERT_EQ(aes256gcm_open(key, nonce, aad, ciphertext, tag, opened), kOk);
    EXPECT_EQ(opened, plaintext);
    for (std::vector<std::uint8_t>* altered : {&ciphertext, &tag}) {
        (*altered)[0] ^= 1;
        EXPECT_EQ(aes256gcm_open(key, nonce, aad, ciphertext, tag, opened), kNteBadData);
        EXPECT_EQ(opened, std::vector<std::uint8_t>(opened.size(), 0));
        (*altered)[0] ^= 1;
    }
}

// An RSA-1024 key's SubjectPublicKeyInfo, and its PKCS#1 v1.5 SHA-256 signature of kMessage.
constexpr const char* kRsaKey =
    "30819f300d06092a864886f70d010101050003818d0030818902818100bf0a800070c9fd36d0b0e8e49f93bb2ae6df504866c545"
    "359c71edf4bd8d57595ca287561dfd7e740a9400d8e8ce7628928cf6924a2305ea0b1985c8b0cec00788899cf75eec31eca349bd"
    "60befd670dcf2f9a9531576124f322395174c18e5b682cef186df1b68595fdf457dff024a6fb02e61ea91da80569d6f05f9ed923"
    "9d0203010001";
constexpr const char* kRsaSignature =
    "43d562747e52bf91652af4da8feba67a62cec340a9a125b7332ae696aa703b003467376a313e704ecd359c2360bf2d0e790e2718"
    "d605eaf2371e6bfb9b23fe154dc61ccfc5b265a09265d96aeed65a7f72a78dd779eac647017b97952f9f58973c4c0ec08af6429b"
    "f9f1191a473829f96a00d55e31787bcc9941c6ed2f75099a";
constexpr const char* kMessage = "62696f6d6574726963207365616c207631006368616c6c656e6765";  // "biometric seal v1\0challenge"

struct VerifyRow {
    const char* name;
    std::function<void(std::vector<std::uint8_t>& key, std::vector<std::uint8_t>& message,
                       std::vector<std::uint8_t>& signature)>
        alter;
    Code expected;
};

class RsaVerify : public ::testing::TestWithParam<VerifyRow> {};

TEST_P(RsaVerify, SaysWhetherTheSignatureVerifies) {
    auto key = hex(kRsaKey), message = hex(kMessage), signature = hex(kRsaSignature);
    GetParam().alter(key, message, signature);
    EXPECT_EQ(rsa_pkcs1_sha256_verify(key, message, signature), GetParam().expected);
}

using Bytes = std::vector<std::uint8_t>;
INSTANTIATE_TEST_SUITE_P(
    Cases, RsaVerify,
    ::testing::Values(
        VerifyRow{"Verifies", [](Bytes&, Bytes&, Bytes&) {}, kOk},
        VerifyRow{"AlteredSignature", [](Bytes&, Bytes&, Bytes& s) { s[0] ^= 1; }, kNteBadSignature},
        VerifyRow{"AlteredMessage", [](Bytes&, Bytes& m, Bytes&) { m.back() ^= 1; }, kNteBadSignature},
        VerifyRow{"ShortSignature", [](Bytes&, Bytes&, Bytes& s) { s.pop_back(); }, kNteBadSignature},
        VerifyRow{"NoKey", [](Bytes& k, Bytes&, Bytes&) { k.clear(); }, kNteFail},
        VerifyRow{"TruncatedKey", [](Bytes& k, Bytes&, Bytes&) { k.pop_back(); }, kNteFail},
        VerifyRow{"ByteAfterTheKey", [](Bytes& k, Bytes&, Bytes&) { k.push_back(0); }, kNteFail},
        // The last octet of rsaEncryption's identifier: sha1WithRSAEncryption, no key type.
        VerifyRow{"NotAnRsaKey", [](Bytes& k, Bytes&, Bytes&) { k[15] = 5; }, kNteFail}),
    [](const ::testing::TestParamInfo<VerifyRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bio::crypto
