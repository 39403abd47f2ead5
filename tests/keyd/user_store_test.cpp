#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "keyd/protocol.h"
#include "keyd/user_store.h"

namespace bio::keyd {
namespace {

namespace fs = std::filesystem;

StoredKey key(std::uint8_t tag) {
    StoredKey made{tpm::KeyBlob{{0x00, 0x02, tag, 1}, {0x00, 0x01, tag}}, {}};
    made.auth.bytes.fill(tag);
    return made;
}

class UserStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "keyd-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(UserStoreTest, EachUserReachesOnlyTheirOwnKeysByName) {
    const UserStore store(dir_.string());
    ASSERT_TRUE(store.save(1000, "alice", key(1), false).value());
    ASSERT_TRUE(store.save(1001, "alice", key(2), false).value());
    EXPECT_EQ(store.load(1000, "alice").value()->auth, key(1).auth);
    EXPECT_EQ(store.load(1001, "alice").value()->blob, key(2).blob);
    EXPECT_FALSE(store.load(1002, "alice").value().has_value());
    // Taken: refused unless replaced; replaced, the new key is there.
    EXPECT_FALSE(store.save(1000, "alice", key(3), false).value());
    EXPECT_EQ(store.load(1000, "alice").value()->auth, key(1).auth);
    EXPECT_TRUE(store.save(1000, "alice", key(3), true).value());
    EXPECT_EQ(store.load(1000, "alice").value()->auth, key(3).auth);
    EXPECT_TRUE(store.remove(1000, "alice").value());
    EXPECT_FALSE(store.remove(1000, "alice").value());
    EXPECT_TRUE(store.contains(1001, "alice").value());
    // Each user's directory is the service's alone.
    struct stat st {};
    ASSERT_EQ(::stat(store.directory_of(1001).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

TEST_F(UserStoreTest, ANewNameBeyondTheLimitIsRefusedAndChangesNothing) {
    const UserStore store(dir_.string(), 3);
    const std::string names[] = {"a", "b", std::string(300, 'c')};  // the last in nested directories
    for (const std::string& name : names) ASSERT_TRUE(store.save(7, name, key(1), false).value());
    EXPECT_EQ(store.count(7).value(), 3u);
    auto refused = store.save(7, "d", key(1), false);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code(), kTooManyCredentials);
    EXPECT_NE(refused.error().message().find("delete one first"), std::string::npos);
    EXPECT_FALSE(store.contains(7, "d").value());
    // Replacing one of them adds none; another user has a limit of their own.
    EXPECT_TRUE(store.save(7, "a", key(2), true).value());
    EXPECT_TRUE(store.save(8, "d", key(1), false).value());
    EXPECT_EQ(store.count(9).value(), 0u);
}

TEST_F(UserStoreTest, ADamagedKeyFileIsABadKeyNotACrash) {
    const UserStore store(dir_.string());
    ASSERT_TRUE(store.save(5, "k", key(1), false).value());
    const std::vector<std::uint8_t> good = encode_stored_key(key(1));
    ASSERT_TRUE(decode_stored_key(good));
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(decode_stored_key(std::span(good).first(size))) << size;
    }
    for (std::size_t at : {std::size_t{0}, std::size_t{7}}) {
        std::vector<std::uint8_t> changed = good;
        changed[at] ^= 0xFF;
        EXPECT_FALSE(decode_stored_key(changed)) << at;
    }
    fs::path file = fs::path(store.directory_of(5)) / "k.key";
    fs::resize_file(file, 20);
    auto loaded = store.load(5, "k");
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().code(), tpm::kTpmBadKey);
}

// A store that another user could change is refused (the local kit's checks).
TEST_F(UserStoreTest, AUsersDirectoryOthersMayWriteIsRefused) {
    const UserStore store(dir_.string());
    ASSERT_TRUE(store.save(4, "k", key(1), false).value());
    ASSERT_EQ(::chmod(store.directory_of(4).c_str(), 0777), 0);
    auto loaded = store.load(4, "k");
    ASSERT_FALSE(loaded.ok());
    EXPECT_NE(loaded.error().message().find("may write"), std::string::npos) << loaded.error().message();
}

}  // namespace
}  // namespace bio::keyd
