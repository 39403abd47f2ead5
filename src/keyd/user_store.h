// The service's keys, per user: below the state directory one directory per uid (0700,
// the service's own, made on first use), and in it the local kit's credential store
// (src/local/credential_store.*: the names' encoding, one file per name, atomic
// creation, the StrictModes-style checks of ownership and modes). A user reaches only
// the directory of the uid the bus gives for them, by name.
//
// A key's file holds its TPM blob and its authorization value, which never leave the
// service: "biokeyd", version 1, the 32-byte value, then the blob as the key file of
// tpm_keys.h encodes it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bio_windows.h"
#include "keyd/protocol.h"
#include "keyd/tpm_keys.h"

namespace bio::keyd {

// A key as the service keeps it.
struct StoredKey {
    tpm::KeyBlob blob;
    tpm::KeyAuth auth;
};

std::vector<std::uint8_t> encode_stored_key(const StoredKey& key);
// nullopt for anything that is not a whole record of ours.
std::optional<StoredKey> decode_stored_key(std::span<const std::uint8_t> file);

class UserStore {
public:
    explicit UserStore(std::string state_directory, std::size_t max_per_user = kMaxCredentialsPerUser)
        : state_directory_(std::move(state_directory)), max_per_user_(max_per_user) {}

    const std::string& state_directory() const noexcept { return state_directory_; }
    std::size_t max_per_user() const noexcept { return max_per_user_; }
    std::string directory_of(uid_t uid) const;

    Outcome<bool> contains(uid_t uid, std::string_view name) const;
    // nullopt when there is no key under the name; a damaged file is kTpmBadKey.
    Outcome<std::optional<StoredKey>> load(uid_t uid, std::string_view name) const;
    // False, writing nothing, when the name is taken and `replace` is false. A new name
    // beyond the user's limit is kTooManyCredentials.
    Outcome<bool> save(uid_t uid, std::string_view name, const StoredKey& key, bool replace) const;
    // False when there was none.
    Outcome<bool> remove(uid_t uid, std::string_view name) const;
    // How many keys the user has.
    Outcome<std::size_t> count(uid_t uid) const;

private:
    std::string state_directory_;
    std::size_t max_per_user_;
};

}  // namespace bio::keyd
