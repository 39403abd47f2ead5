#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/standin_platform.h"

namespace bio::testing {

namespace fs = std::filesystem;

// A fresh store directory per test, removed afterwards; every platform object made
// during the test must have been released by its end.
//
// The store lies four levels deep inside a sentinel directory of the test's own temporary
// root, so that a name escaping the store by up to four levels (or naming an absolute
// path under kRootMarker) lands inside the root, where the end of the test finds it:
// everything under the root must be the store, inside it, or one of its ancestors.
class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "standin-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        store_ = root_ / "sentinel" / "n1" / "n2" / "n3" / "store";
        fs::create_directories(store_.parent_path());
        first_store_ = store_;
        live_at_start_ = standin::StandinPlatform::live_objects();
    }
    void TearDown() override {
        EXPECT_EQ(standin::StandinPlatform::live_objects(), live_at_start_) << "platform objects left unreleased";
        std::error_code ignored;
        fs::permissions(store_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored)) {
            const fs::path& p = it->path();
            const bool in_store = is_within(p, store_);
            const bool on_the_way = is_within(store_, p) || is_within(first_store_, p);
            EXPECT_TRUE(in_store || on_the_way) << "written outside the store: " << p;
            if (!in_store && !on_the_way) it.disable_recursion_pending();
        }
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    // Stands for the test's root in names that are absolute paths.
    static constexpr std::string_view kRootMarker = "<root>";
    std::string with_root(const std::string& name) const {
        if (name.rfind(kRootMarker, 0) != 0) return name;
        return root_.string() + name.substr(kRootMarker.size());
    }

    static bool is_within(const fs::path& p, const fs::path& directory) {
        auto [end, unused] = std::mismatch(directory.begin(), directory.end(), p.begin(), p.end());
        return end == directory.end();
    }

    fs::path root_;
    fs::path store_;
    fs::path first_store_;
    long live_at_start_ = 0;
};

// A StandinTest with a stand-in platform on its store.
class StandinPlatformTest : public StandinTest {
protected:
    void SetUp() override {
        StandinTest::SetUp();
        platform_.emplace(store_.string());
    }
    void TearDown() override {
        platform_.reset();
        StandinTest::TearDown();
    }
    standin::StandinPlatform& platform() { return *platform_; }

    std::optional<standin::StandinPlatform> platform_;
};

inline std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline unsigned mode_of(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// The key files under `store`, as paths relative to it.
inline std::vector<fs::path> key_files(const fs::path& store) {
    std::vector<fs::path> out;
    if (!fs::exists(store)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(store)) {
        const std::string file_name = entry.path().filename().string();
        if (entry.is_regular_file() && file_name.size() >= 4 && file_name.compare(file_name.size() - 4, 4, ".key") == 0) {
            out.push_back(fs::relative(entry.path(), store));
        }
    }
    return out;
}

// Checks an RSASSA-PKCS1-v1_5 SHA-256 signature against a DER SubjectPublicKeyInfo
// with OpenSSL's verifier: nothing of the signing side is used.
inline bool signature_verifies(const std::vector<std::uint8_t>& public_key_der, const std::vector<std::uint8_t>& data,
                               const std::vector<std::uint8_t>& signature) {
    const unsigned char* p = public_key_der.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PUBKEY(nullptr, &p, static_cast<long>(public_key_der.size())), EVP_PKEY_free);
    if (!key || p != public_key_der.data() + public_key_der.size()) return false;
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 2048) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

inline std::vector<std::uint8_t> base64_decode(const std::string& text) {
    std::vector<std::uint8_t> out(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

}  // namespace bio::testing
