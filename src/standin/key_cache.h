// Parsed keys of the key files read lately, so that signing with a credential costs one
// signature rather than reading and parsing its PEM file each time.
//
// Entries are found by the identity of the file's contents (FileIdentity), taken with one
// fstat of the file that the request has opened, so a key file replaced, removed or
// changed in any way between two requests is read afresh at the second. One hazard
// remains: the file system stamps changes with a clock that ticks only every few
// milliseconds, so a file changed in place twice within one tick keeps its identity. A
// key is therefore kept only if the file's last change is older than the moment just
// before it was looked at (`now()`, taken from that same clock): any later change is
// stamped at or after that moment and so differs. A file changed a moment ago is parsed
// at each request until it is older.
//
// Bounded (kEntries, least recently used goes first), safe to use from any thread, and
// owned by its platform object: the keys go when it does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "local/credential_store.h"
#include "standin/rsa_key.h"

namespace bio::standin {

// A key as the platform uses it: parsed once, and its public half encoded once (on
// OpenSSL 3 the encoding costs more than half a signature).
struct LoadedKey {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<const std::vector<std::uint8_t>> public_key;  // DER SubjectPublicKeyInfo
};

class KeyCache {
public:
    using Key = std::shared_ptr<const LoadedKey>;
    static constexpr std::size_t kEntries = 16;

    // A moment on the file system's clock, in nanoseconds since the epoch.
    using Moment = std::int64_t;
    static Moment now() noexcept;

    // The key parsed from the file version `identity`, or null.
    Key find(const local::FileIdentity& identity);

    // Remembers `key` for `identity`, which was taken after `looked_at` (now()), unless
    // the file changed too recently to tell a later change from this version.
    void insert(const local::FileIdentity& identity, Key key, Moment looked_at);

    std::size_t size() const;

private:
    struct Entry {
        local::FileIdentity identity;
        Key key;
        std::uint64_t last_used = 0;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // at most kEntries
    std::uint64_t uses_ = 0;
};

}  // namespace bio::standin
