#include "keyd/user_store.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "local/credential_store.h"
#include "local/secret_bytes.h"

namespace bio::keyd {
namespace {

constexpr std::uint8_t kMagic[7] = {'b', 'i', 'o', 'k', 'e', 'y', 'd'};
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeader = sizeof kMagic + 1 + tpm::KeyAuth::kSize;

}  // namespace

std::vector<std::uint8_t> encode_stored_key(const StoredKey& key) {
    std::vector<std::uint8_t> file(std::begin(kMagic), std::end(kMagic));
    file.push_back(kVersion);
    file.insert(file.end(), key.auth.bytes.begin(), key.auth.bytes.end());
    const std::vector<std::uint8_t> blob = tpm::encode_key_file(key.blob);
    file.insert(file.end(), blob.begin(), blob.end());
    return file;
}

std::optional<StoredKey> decode_stored_key(std::span<const std::uint8_t> file) {
    if (file.size() < kHeader || !std::equal(std::begin(kMagic), std::end(kMagic), file.begin()) ||
        file[sizeof kMagic] != kVersion) {
        return std::nullopt;
    }
    auto blob = tpm::decode_key_file(file.subspan(kHeader));
    if (!blob) return std::nullopt;
    StoredKey key{std::move(*blob), {}};
    std::copy_n(file.begin() + sizeof kMagic + 1, tpm::KeyAuth::kSize, key.auth.bytes.begin());
    return key;
}

std::string UserStore::directory_of(uid_t uid) const {
    std::string path = state_directory_;
    if (path.empty() || path.back() != '/') path += '/';
    return path + std::to_string(uid);
}

Outcome<bool> UserStore::contains(uid_t uid, std::string_view name) const {
    return local::CredentialStore(directory_of(uid)).contains(name);
}

Outcome<std::optional<StoredKey>> UserStore::load(uid_t uid, std::string_view name) const {
    Outcome<local::CredentialStore::Loaded> loaded = local::CredentialStore(directory_of(uid)).load(name);
    if (!loaded.ok()) return std::move(loaded.error());
    switch (loaded.value().state) {
        case local::CredentialStore::Loaded::NotFound: return std::optional<StoredKey>();
        case local::CredentialStore::Loaded::Unreadable:
            return PlatformError::with_text(tpm::kTpmBadKey, loaded.value().reason);
        case local::CredentialStore::Loaded::Found: break;
    }
    const local::SecretBytes& bytes = loaded.value().pem;
    auto key = decode_stored_key(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
    if (!key) return PlatformError::with_text(tpm::kTpmBadKey, "the key file of the credential is damaged");
    return std::optional<StoredKey>(std::move(*key));
}

Outcome<bool> UserStore::save(uid_t uid, std::string_view name, const StoredKey& key, bool replace) const {
    const local::CredentialStore store(directory_of(uid));
    Outcome<bool> exists = store.contains(name);
    if (!exists.ok()) return std::move(exists.error());
    if (exists.value() && !replace) return false;
    if (!exists.value()) {
        Outcome<std::size_t> held = count(uid);
        if (!held.ok()) return std::move(held.error());
        if (held.value() >= max_per_user_) {
            return PlatformError::with_text(kTooManyCredentials, "this user has " + std::to_string(held.value()) +
                                                                     " credentials, the most the service keeps per "
                                                                     "user; delete one first");
        }
    }
    return store.create(name, local::SecretBytes(encode_stored_key(key)), replace);
}

Outcome<bool> UserStore::remove(uid_t uid, std::string_view name) const {
    return local::CredentialStore(directory_of(uid)).remove(name);
}

Outcome<std::size_t> UserStore::count(uid_t uid) const {
    namespace fs = std::filesystem;
    std::error_code error;
    const std::string directory = directory_of(uid);
    fs::recursive_directory_iterator it(directory, error);
    if (error == std::errc::no_such_file_or_directory) return std::size_t{0};
    std::size_t keys = 0;
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        const std::string file = path.filename().string();
        if (file.ends_with(local::kKeySuffix) && it->is_regular_file(error)) ++keys;
    }
    if (error) return local::os_error(error.value(), "cannot count the credentials in", directory);
    return keys;
}

}  // namespace bio::keyd
