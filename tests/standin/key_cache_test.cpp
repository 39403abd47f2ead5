// The stand-in keeps parsed keys between requests: never past a change of the key file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "local/credential_store.h"
#include "standin/key_cache.h"
#include "standin_test_util.h"

namespace bio::testing {
namespace {

std::vector<std::uint8_t> bytes(std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

// Files changed just now are not kept (key_cache.h); tests that need a key kept let the
// file system's clock move on first.
void let_the_clock_move_on() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

class KeyCacheTest : public StandinPlatformTest {
protected:
    // Enrols `name` and returns its public key.
    std::vector<std::uint8_t> enrol(const std::string& name) {
        auto enrolled = enrol_credential(platform(), name);
        EXPECT_TRUE(std::holds_alternative<std::string>(enrolled));
        return std::holds_alternative<std::string>(enrolled) ? base64_decode(std::get<std::string>(enrolled))
                                                             : std::vector<std::uint8_t>{};
    }
    // The signature of `data`, or the error code.
    SigningResult sign(const std::string& name, const std::vector<std::uint8_t>& data) {
        return sign_with_credential(platform(), name, ByteView{data.data(), data.size()});
    }
    bool signs_for(const std::string& name, const std::vector<std::uint8_t>& public_key) {
        const std::vector<std::uint8_t> data = bytes("cached?");
        SigningResult result = sign(name, data);
        return std::holds_alternative<std::vector<std::uint8_t>>(result) &&
               signature_verifies(public_key, data, std::get<std::vector<std::uint8_t>>(result));
    }
    std::int32_t code_of(const std::string& name) {
        SigningResult result = sign(name, bytes("x"));
        return std::holds_alternative<CredentialErrorCode>(result) ? std::get<CredentialErrorCode>(result) : 0;
    }
};

struct Change {
    const char* label;
    // Changes the key file `file` of a credential; another credential's key file is at
    // `other`. Returns the status the next signature must end with, 0 for one that
    // verifies against `other`'s public key.
    std::int32_t (*apply)(const fs::path& file, const fs::path& other);
};

class KeyFileChangeTest : public KeyCacheTest, public ::testing::WithParamInterface<Change> {};

TEST_P(KeyFileChangeTest, IsSeenAtTheNextCall) {
    const std::vector<std::uint8_t> public_key = enrol("kept");
    const std::vector<std::uint8_t> other_public_key = enrol("other");
    let_the_clock_move_on();
    // Two calls: the first parses and keeps the key, the second uses it.
    ASSERT_TRUE(signs_for("kept", public_key));
    ASSERT_TRUE(signs_for("kept", public_key));
    ASSERT_EQ(platform().cached_keys(), 1u);

    const std::int32_t expected = GetParam().apply(store_ / "kept.key", store_ / "other.key");
    if (expected == 0) {
        EXPECT_TRUE(signs_for("kept", other_public_key));
    } else {
        EXPECT_EQ(code_of("kept"), expected);
    }
}

// Rewrites `file` in place with `contents`, then gives it back its size-independent
// write time, so that only its change time tells the versions apart.
void rewrite_keeping_the_write_time(const fs::path& file, const std::string& contents) {
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    write_file(file, contents);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

std::string damaged(const fs::path& file) {
    const auto valid = read_file(file);
    std::string text(valid.begin(), valid.end());
    text[200] = text[200] == 'A' ? 'B' : 'A';
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, KeyFileChangeTest,
    ::testing::Values(
        Change{"ReplacedByRename",
               [](const fs::path& file, const fs::path& other) {
                   fs::copy_file(other, file.string() + ".new");
                   fs::rename(file.string() + ".new", file);
                   return 0;
               }},
        Change{"OverwrittenInPlace",
               [](const fs::path& file, const fs::path& other) {
                   const auto key = read_file(other);
                   write_file(file, std::string(key.begin(), key.end()));
                   return 0;
               }},
        Change{"Removed",
               [](const fs::path& file, const fs::path&) {
                   fs::remove(file);
                   return std::int32_t{KeyCredentialStatus_NotFound};
               }},
        Change{"Truncated",
               [](const fs::path& file, const fs::path&) {
                   fs::resize_file(file, 100);
                   return std::int32_t{KeyCredentialStatus_UnknownError};
               }},
        Change{"DamagedInPlaceWithSizeAndWriteTimeKept",
               [](const fs::path& file, const fs::path&) {
                   rewrite_keeping_the_write_time(file, damaged(file));
                   return std::int32_t{KeyCredentialStatus_UnknownError};
               }},
        Change{"ReplacedByADirectory",
               [](const fs::path& file, const fs::path&) {
                   fs::remove(file);
                   fs::create_directory(file);
                   return std::int32_t{KeyCredentialStatus_UnknownError};
               }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(KeyCacheTest, AFileChangedJustNowIsNotKept) {
    const std::vector<std::uint8_t> public_key = enrol("fresh");
    // A write time ahead of the clock stands for a change within the current tick.
    const fs::path file = store_ / "fresh.key";
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
    let_the_clock_move_on();
    EXPECT_TRUE(signs_for("fresh", public_key));
    EXPECT_EQ(platform().cached_keys(), 0u);
    // It is parsed at every call instead, so a change within that tick is still seen.
    write_file(file, damaged(file));
    EXPECT_EQ(code_of("fresh"), KeyCredentialStatus_UnknownError);
}

TEST_F(KeyCacheTest, KeepsAtMostItsBoundLeastRecentlyUsedFirst) {
    const std::vector<std::uint8_t> public_key = enrol("k0");
    for (std::size_t i = 1; i <= standin::KeyCache::kEntries; ++i) {
        fs::copy_file(store_ / "k0.key", store_ / ("k" + std::to_string(i) + ".key"));
    }
    let_the_clock_move_on();
    for (std::size_t i = 0; i <= standin::KeyCache::kEntries; ++i) {
        ASSERT_TRUE(signs_for("k" + std::to_string(i), public_key)) << i;
    }
    EXPECT_EQ(platform().cached_keys(), standin::KeyCache::kEntries);
}

TEST_F(KeyCacheTest, ThreadsShareKeysWhileTheFilesChange) {
    const std::vector<std::uint8_t> first = enrol("first");
    const std::vector<std::uint8_t> second = enrol("second");
    let_the_clock_move_on();
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const bool even = (t + i) % 2 == 0;
                if (signs_for(even ? "first" : "second", even ? first : second)) ++good;
            }
        });
    }
    // Meanwhile "third" keeps being replaced by copies of "first", each a new file.
    for (int i = 0; i < 10; ++i) {
        fs::copy_file(store_ / "first.key", store_ / "third.tmp", fs::copy_options::overwrite_existing);
        fs::rename(store_ / "third.tmp", store_ / "third.key");
        EXPECT_TRUE(signs_for("third", first));
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 40);
}

}  // namespace
}  // namespace bio::testing
