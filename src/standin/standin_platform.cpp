#include "standin/standin_platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "runtime/fault.h"
#include "runtime/interrupt.h"
#include "local/credential_store.h"
#include "standin/key_cache.h"
#include "standin/rsa_key.h"
#include "standin/user_verification.h"

namespace bio {
namespace standin {
namespace {

constexpr std::int32_t kE_INVALIDARG = static_cast<std::int32_t>(0x80070057u);

using Key = KeyCache::Key;

// A credential: its key, whose public half is the credential's public key.
struct StandinCredential final : local::LocalCredential {
    Key key;
};

// Whether the request must stop now (runtime/interrupt.h).
bool request_cancelled() noexcept { return check_wait() != WaitVerdict::Continue; }

// The key with its public half encoded; null when it cannot be encoded.
Key load(PkeyPtr key) {
    std::string why;
    std::optional<std::vector<std::uint8_t>> der = public_key_der(key.get(), why);
    if (!der) return nullptr;
    return std::make_shared<const LoadedKey>(LoadedKey{std::shared_ptr<EVP_PKEY>(key.release(), PkeyDeleter()),
                                                       std::make_shared<const std::vector<std::uint8_t>>(std::move(*der))});
}

local::LocalCredentialPtr credential(Key key, std::string name) {
    auto made = std::make_shared<StandinCredential>();
    made->name = std::move(name);
    made->public_key = key->public_key;
    made->key = std::move(key);
    return made;
}

}  // namespace

StandinPlatform::StandinPlatform(std::optional<std::string> store_directory)
    : store_directory_(std::move(store_directory)), keys_(std::make_unique<KeyCache>()) {
    initialize_library();
}

StandinPlatform::~StandinPlatform() = default;

std::size_t StandinPlatform::cached_keys() const { return keys_->size(); }

Outcome<std::string> StandinPlatform::store_directory() const {
    if (store_directory_) return *store_directory_;
    return local::store_directory_from_environment();
}

std::span<const char* const> StandinPlatform::environment_variables() const noexcept {
    static constexpr const char* kNames[] = {kVerifyVariable, kDelayVariable, kAvailabilityVariable,
                                             local::kStoreDirectoryVariables[0], local::kStoreDirectoryVariables[1],
                                             local::kStoreDirectoryVariables[2]};
    // A platform with a directory of its own reads none of the store's variables.
    return store_directory_ ? std::span<const char* const>(kNames, 3) : std::span<const char* const>(kNames);
}

Outcome<RetrievalOperationRef> StandinPlatform::RequestCreateAsync(const StringRef& name,
                                                                   KeyCredentialCreationOption option) {
    if (option != KeyCredentialCreationOption::FailIfExists && option != KeyCredentialCreationOption::ReplaceExisting) {
        return PlatformError::with_text(kE_INVALIDARG, "unknown KeyCredentialCreationOption");
    }
    const bool replace = option == KeyCredentialCreationOption::ReplaceExisting;
    const std::string text = string_text(name);
    // The platform asks the user before it does anything.
    if (const std::int32_t verdict = verify_user(VerifiedRequest::Create, text); verdict != KeyCredentialStatus_Success) {
        return retrieval_done(verdict);
    }

    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return retrieval_failed(directory.error());
    const local::CredentialStore store(std::move(directory.value()));

    // Generating a key takes a while: not for a name that is taken already.
    if (!replace) {
        Outcome<bool> exists = store.contains(text);
        if (!exists.ok()) return retrieval_failed(exists.error());
        if (exists.value()) return retrieval_done(KeyCredentialStatus_CredentialAlreadyExists);
    }

    // A request cancelled (Ctrl-C, its deadline) while the key is made, or before the key
    // is stored, ends as the user's cancel would, with nothing made. Storing it is the
    // point after which the request takes effect: nothing is asked after that.
    std::string why;
    bool cancelled = false;
    PkeyPtr key = generate_key(why, request_cancelled, &cancelled);
    if (!key) return retrieval_done(cancelled ? KeyCredentialStatus_UserCanceled : KeyCredentialStatus_UnknownError);
    std::optional<SecretBytes> pem = private_key_pem(key.get(), why);
    if (!pem) return retrieval_done(KeyCredentialStatus_UnknownError);
    Key loaded = load(std::move(key));
    if (!loaded) return retrieval_done(KeyCredentialStatus_UnknownError);
    if (request_cancelled()) return retrieval_done(KeyCredentialStatus_UserCanceled);

    Outcome<bool> stored = store.create(text, *pem, replace);
    if (!stored.ok()) return retrieval_failed(stored.error());
    // Another process created the name between the look-up and the link.
    if (!stored.value()) return retrieval_done(KeyCredentialStatus_CredentialAlreadyExists);
    return retrieval_done(KeyCredentialStatus_Success, credential(std::move(loaded), text));
}

Outcome<RetrievalOperationRef> StandinPlatform::OpenAsync(const StringRef& name) {
    Outcome<std::string> directory = store_directory();
    if (!directory.ok()) return retrieval_failed(directory.error());
    const local::CredentialStore store(std::move(directory.value()));

    const std::string text = string_text(name);
    // Before the file is looked at (key_cache.h).
    const KeyCache::Moment looked_at = KeyCache::now();
    Outcome<local::CredentialStore::Opened> opened = store.open(text);
    if (!opened.ok()) return retrieval_failed(opened.error());
    switch (opened.value().state) {
        case local::CredentialStore::Loaded::NotFound: return retrieval_done(KeyCredentialStatus_NotFound);
        case local::CredentialStore::Loaded::Unreadable: return retrieval_done(KeyCredentialStatus_UnknownError);
        case local::CredentialStore::Loaded::Found: break;
    }
    const local::FileIdentity identity = opened.value().identity;
    if (Key key = keys_->find(identity)) return retrieval_done(KeyCredentialStatus_Success, credential(std::move(key), text));

    const local::CredentialStore::Loaded loaded = local::CredentialStore::read(opened.value());
    if (loaded.state != local::CredentialStore::Loaded::Found) return retrieval_done(KeyCredentialStatus_UnknownError);
    std::string why;
    PkeyPtr parsed = parse_private_key_pem(loaded.pem.data(), loaded.pem.size(), why);
    if (!parsed) return retrieval_done(KeyCredentialStatus_UnknownError);
    Key key = load(std::move(parsed));
    if (!key) return retrieval_done(KeyCredentialStatus_UnknownError);
    keys_->insert(identity, key, looked_at);
    return retrieval_done(KeyCredentialStatus_Success, credential(std::move(key), text));
}

Outcome<DeleteOperationRef> StandinPlatform::DeleteAsync(const StringRef& name) {
    return remove_from_store(store_directory(), string_text(name));
}

Outcome<SupportOperationRef> StandinPlatform::IsSupportedAsync() { return support_done(true); }

Outcome<SignOperationRef> StandinPlatform::RequestSignAsync(const CredentialRef& credential, const BufferRef& data) {
    const local::LocalCredential* held = credential_of(credential);
    const std::vector<std::uint8_t>* bytes = bytes_of(data);
    if (held == nullptr || bytes == nullptr) return null_argument();
    if (const std::int32_t verdict = verify_user(VerifiedRequest::Sign, held->name); verdict != KeyCredentialStatus_Success) {
        return signing_done(verdict);
    }
    std::string why;
    std::optional<std::vector<std::uint8_t>> signature =
        sign_sha256(static_cast<const StandinCredential*>(held)->key->key.get(), bytes->data(), bytes->size(), why);
    if (!signature) return signing_done(KeyCredentialStatus_UnknownError);
    return signing_done(KeyCredentialStatus_Success, std::move(*signature));
}

Outcome<AvailabilityOperationRef> StandinPlatform::CheckAvailabilityAsync() {
    return availability_done(check_availability());
}

Outcome<VerificationOperationRef> StandinPlatform::RequestVerificationForWindowAsync(WindowHandle,
                                                                                     const StringRef& message) {
    // There is no window to own a prompt here: the terminal asks, if anything does.
    return verification_done(verify_consent(string_text(message)));
}

}  // namespace standin

}  // namespace bio
