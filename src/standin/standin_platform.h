// The software stand-in for the platform's key-credential service, used wherever the
// Windows Runtime is not: RSA-2048 keys made and used with OpenSSL, kept in a per-user
// store of PEM files (credential_store.h).
//
// It verifies no user: whoever can read the store can sign with its keys. It stands in
// for the platform so that applications can be built, tested and have their signatures
// checked off Windows, exactly as with keys made by the platform; it secures nothing.
// Where the platform would ask the user (creating and signing), the environment says
// what the simulated user does (user_verification.h).
//
// Opening a credential whose key file is unchanged since it was last opened uses the key
// parsed then (key_cache.h); every signature is checked against the key's public half
// before it is handed out, so a damaged key yields UnknownError, never a bad signature.
//
// Every request does its work when it is made (local_platform.h): key generation and the
// store's file operations in RequestCreateAsync, OpenAsync and DeleteAsync, the signature
// in RequestSignAsync. Failures of the store's
// file system calls complete the operation with the HRESULT the platform would report;
// anything about the credential itself is a KeyCredentialStatus of the result. DeleteAsync
// has no result to carry a status: a name that is not enrolled completes it with the
// error NotFound (2).
//
// The stand-in supports key credentials everywhere.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "local/local_platform.h"

namespace bio::standin {

class KeyCache;

class StandinPlatform final : public local::LocalPlatform {
public:
    // Keeps credentials in `store_directory`; without one, in the directory that the
    // environment names when each request is made.
    explicit StandinPlatform(std::optional<std::string> store_directory = std::nullopt);
    ~StandinPlatform() override;
    StandinPlatform(const StandinPlatform&) = delete;
    StandinPlatform& operator=(const StandinPlatform&) = delete;

    std::string_view platform_name() const noexcept override { return "standin"; }
    std::span<const char* const> environment_variables() const noexcept override;
    Outcome<RetrievalOperationRef> RequestCreateAsync(const StringRef& name,
                                                      KeyCredentialCreationOption option) override;
    Outcome<RetrievalOperationRef> OpenAsync(const StringRef& name) override;
    Outcome<DeleteOperationRef> DeleteAsync(const StringRef& name) override;
    Outcome<SupportOperationRef> IsSupportedAsync() override;
    Outcome<SignOperationRef> RequestSignAsync(const CredentialRef& credential, const BufferRef& data) override;
    Outcome<AvailabilityOperationRef> CheckAvailabilityAsync() override;
    Outcome<VerificationOperationRef> RequestVerificationForWindowAsync(WindowHandle window,
                                                                        const StringRef& message) override;

    // Keys this platform keeps parsed (key_cache.h): for tests.
    std::size_t cached_keys() const;

private:
    Outcome<std::string> store_directory() const;

    std::optional<std::string> store_directory_;
    std::unique_ptr<KeyCache> keys_;
};

}  // namespace bio::standin
