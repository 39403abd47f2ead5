// The store: file names for awkward credential names, its location, OS error codes, whom
// it trusts.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <map>
#include <thread>

#include "local/credential_store.h"
#include "standin_test_util.h"

namespace bio::testing {
namespace {

using local::key_file_path;
using local::kComponentChars;
using local::name_of_key_file;

struct NamedCase {
    const char* label;
    std::string name;
};
void PrintTo(const NamedCase& c, std::ostream* out) { *out << c.label; }

const NamedCase kAwkwardNames[] = {
    {"Empty", ""},
    {"Plain", "alice"},
    {"UpperCase", "Alice"},
    {"Dot", "."},
    {"DotDot", ".."},
    // Were these to escape the store, they would land inside the test's root, not in /etc.
    {"Traversal", "../../etc/passwd"},
    {"DeepTraversal", "../../../../passwd"},
    {"Absolute", "<root>/sentinel/passwd"},
    {"Slash", "a/b"},
    {"Nul", std::string("a\0b", 3)},
    {"OnlyNul", std::string(1, '\0')},
    {"Space", "bob smith"},
    {"Dash", "-rf"},
    {"KeySuffix", "x.key"},
    {"TmpPrefix", ".tmp-0011223344556677"},
    {"Underscore", "_41"},
    {"Cyrillic", "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87"},
    {"Emoji", "\xf0\x9f\x98\x80"},
    {"NotUtf8", "\xff\xfe\x80"},
    {"Exactly240", std::string(240, 'a')},
    {"Just241", std::string(241, 'a')},
    {"Name255", std::string(255, 'b')},
    {"Escaped86", std::string(86, '/')},          // 258 encoded characters
    {"Euro300", [] { std::string s; for (int i = 0; i < 100; ++i) s += "\xe2\x82\xac"; return s; }()},
    {"Long4096", std::string(4096, 'Z')},         // 12288 encoded: longer than PATH_MAX
};

class FileNameTest : public StandinTest, public ::testing::WithParamInterface<NamedCase> {};

// Whether a test can walk the store by path to the key file of `name`: only where paths
// stay short. The store itself reaches deeper files one directory at a time.
bool walkable(const fs::path& store, const std::string& name) {
    std::size_t path_length = store.string().size();
    for (const std::string& part : key_file_path(name)) path_length += part.size() + 1;
    return path_length <= 3000;
}

TEST_P(FileNameTest, EncodingIsSafeAndReversible) {
    const std::string name = with_root(GetParam().name);
    const std::vector<std::string> components = key_file_path(name);
    ASSERT_FALSE(components.empty());
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::string& c = components[i];
        EXPECT_LE(c.size(), 255u);
        EXPECT_NE(c, ".");
        EXPECT_NE(c, "..");
        EXPECT_FALSE(c.empty());
        for (char ch : c) {
            EXPECT_TRUE((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' || ch == '_' || ch == '.')
                << "character " << static_cast<int>(static_cast<unsigned char>(ch)) << " in " << c;
        }
        const bool is_key_file = c.size() >= 4 && c.compare(c.size() - 4, 4, ".key") == 0;
        EXPECT_EQ(is_key_file, i + 1 == components.size()) << c;
        if (i + 1 < components.size()) {
            EXPECT_EQ(c.size(), kComponentChars);
        }
    }
    EXPECT_EQ(name_of_key_file(components), name);
}

TEST_P(FileNameTest, CredentialLivesAtItsFileInsideTheStore) {
    const std::string name = with_root(GetParam().name);
    standin::StandinPlatform platform(store_.string());
    auto enrolled = enrol_credential(platform, name);
    ASSERT_TRUE(std::holds_alternative<std::string>(enrolled));
    auto signed_data = sign_with_credential(platform, name, ByteView{});
    EXPECT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signed_data));
    EXPECT_EQ(std::get<CredentialErrorCode>(enrol_credential(platform, name)),
              KeyCredentialStatus_CredentialAlreadyExists);

    if (!walkable(store_, name)) return;

    // Exactly one key file, where the encoding says, and nothing outside the store.
    const std::vector<fs::path> files = key_files(store_);
    ASSERT_EQ(files.size(), 1u);
    std::vector<std::string> on_disk;
    for (const fs::path& part : files[0]) on_disk.push_back(part.string());
    EXPECT_EQ(on_disk, key_file_path(name));
    EXPECT_EQ(name_of_key_file(on_disk), name);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

TEST_P(FileNameTest, DeleteRemovesTheKeyFileAndNothingElse) {
    const std::string& name = GetParam().name;
    standin::StandinPlatform platform(store_.string());
    ASSERT_TRUE(std::holds_alternative<std::string>(enrol_credential(platform, name)));
    EXPECT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(read_public_key(platform, name)));

    EXPECT_EQ(delete_credential(platform, name), std::nullopt);
    EXPECT_EQ(delete_credential(platform, name), KeyCredentialStatus_NotFound);
    EXPECT_EQ(std::get<CredentialErrorCode>(read_public_key(platform, name)), KeyCredentialStatus_NotFound);
    // The store stays, empty (a long name's directories went with its key), with nothing
    // beside it.
    ASSERT_TRUE(fs::is_directory(store_));
    EXPECT_TRUE(fs::is_empty(store_));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Names, FileNameTest, ::testing::ValuesIn(kAwkwardNames),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(FileNames, DistinctNamesHaveDistinctFilesEvenIgnoringCase) {
    std::map<std::string, std::string> seen;
    for (const NamedCase& c : kAwkwardNames) {
        std::string joined;
        for (const std::string& part : key_file_path(c.name)) joined += part + "/";
        for (char& ch : joined) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        auto [it, inserted] = seen.emplace(joined, c.label);
        EXPECT_TRUE(inserted) << c.label << " meets " << it->second;
    }
    EXPECT_EQ(key_file_path("Alice"), std::vector<std::string>{"_41lice.key"});
    EXPECT_EQ(key_file_path(""), std::vector<std::string>{".key"});
}

// Paths that no name encodes to: decoding refuses them rather than guess.
TEST(FileNames, OtherSpellingsDecodeToNothing) {
    const std::vector<std::vector<std::string>> paths = {
        {},
        {"alice"},           // no suffix
        {"alice.pem"},
        {"_61lice.key"},     // an escaped letter
        {"_2F.key"},         // upper-case hex
        {"A.key"},
        {"_4.key"},
        {"_4g.key"},
        {"a.b.key"},
        {"short", "x.key"},  // a directory piece shorter than a full piece
        {std::string(240, 'a'), ".key"},  // an empty last piece after a directory
        {".tmp-0011223344556677"},
    };
    for (const auto& path : paths) EXPECT_EQ(name_of_key_file(path), std::nullopt) << ::testing::PrintToString(path);
}

struct EnvironmentCase {
    const char* label;
    const char* store;
    const char* data_home;
    const char* home;
    const char* expected;
};

class StoreLocationTest : public ::testing::TestWithParam<EnvironmentCase> {
protected:
    void SetUp() override {
        for (const char* var : kVars) {
            const char* v = std::getenv(var);
            saved_.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    void TearDown() override {
        for (const auto& [var, value] : saved_) {
            if (value) ::setenv(var, value->c_str(), 1); else ::unsetenv(var);
        }
    }
    static void set(const char* var, const char* value) {
        if (value) ::setenv(var, value, 1); else ::unsetenv(var);
    }
    static constexpr const char* kVars[] = {"BIOMETRIC_STANDIN_STORE", "XDG_DATA_HOME", "HOME"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_P(StoreLocationTest, FollowsTheEnvironment) {
    const EnvironmentCase& c = GetParam();
    set("BIOMETRIC_STANDIN_STORE", c.store);
    set("XDG_DATA_HOME", c.data_home);
    set("HOME", c.home);
    Outcome<std::string> directory = local::store_directory_from_environment();
    ASSERT_TRUE(directory.ok());
    EXPECT_EQ(directory.value(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, StoreLocationTest,
    ::testing::Values(
        EnvironmentCase{"StoreVariable", "/s/store", "/x", "/h", "/s/store"},
        EnvironmentCase{"RelativeStoreVariable", "rel/store", "/x", "/h", "rel/store"},
        EnvironmentCase{"EmptyStoreVariable", "", "/x", "/h", "/x/biometric/credentials"},
        EnvironmentCase{"DataHome", nullptr, "/x/", "/h", "/x/biometric/credentials"},
        EnvironmentCase{"RelativeDataHomeIgnored", nullptr, "x", "/h", "/h/.local/share/biometric/credentials"},
        EnvironmentCase{"EmptyDataHomeIgnored", nullptr, "", "/h", "/h/.local/share/biometric/credentials"},
        EnvironmentCase{"Home", nullptr, nullptr, "/h", "/h/.local/share/biometric/credentials"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(OsErrors, BecomeWin32HResults) {
    // The whole table: each errno and the Win32 error Windows reports for the same condition.
    const std::pair<int, std::uint32_t> table[] = {
        {EPERM, 5},      {EACCES, 5},       {EISDIR, 5},    {ENOENT, 2},    {ENOTDIR, 3},    {EMFILE, 4},
        {ENFILE, 4},     {EBADF, 6},        {ENOMEM, 14},   {EXDEV, 17},    {EROFS, 19},     {ETXTBSY, 32},
        {ENOSYS, 50},    {EOPNOTSUPP, 50},  {EEXIST, 80},   {EINVAL, 87},   {ENOSPC, 112},   {EBUSY, 170},
        {ENAMETOOLONG, 206}, {EFBIG, 223},  {EIO, 1117},    {EMLINK, 1142}, {EDQUOT, 1295},  {ELOOP, 1921},
    };
    for (const auto& [error_number, win32] : table) {
        EXPECT_EQ(local::hresult_from_errno(error_number), static_cast<std::int32_t>(0x80070000u | win32))
            << std::generic_category().message(error_number);
    }
    // Without a counterpart: E_FAIL.
    for (int error_number : {0, EPIPE, EAGAIN, ECONNRESET, -1, 100000}) {
        EXPECT_EQ(local::hresult_from_errno(error_number), static_cast<std::int32_t>(0x80004005u)) << error_number;
    }
    PlatformError error = local::os_error(EACCES, "cannot open the key-credential store", "/s");
    EXPECT_EQ(error.debug_text(),
              "Error { code: HRESULT(0x80070005), message: \"cannot open the key-credential store /s: "
              "Permission denied\" }");
}

class CredentialStoreTest : public StandinTest {};

// Creating a name that is taken, without replacing: nothing is written, the old key stays,
// and no temporary file is left behind.
TEST_F(CredentialStoreTest, CreatingATakenNameWithoutReplaceChangesNothing) {
    local::CredentialStore store(store_.string());
    const auto octets = [](std::string_view text) { return std::vector<std::uint8_t>(text.begin(), text.end()); };
    const auto bytes = [&](std::string_view text) { return local::SecretBytes(octets(text)); };
    Outcome<bool> first = store.create("zoe", bytes("first key"), false);
    ASSERT_TRUE(first.ok());
    EXPECT_TRUE(first.value());

    Outcome<bool> second = store.create("zoe", bytes("second key"), false);
    ASSERT_TRUE(second.ok());
    EXPECT_FALSE(second.value());
    EXPECT_EQ(read_file(store_ / "zoe.key"), octets("first key"));
    EXPECT_EQ(std::distance(fs::directory_iterator(store_), fs::directory_iterator()), 1);

    Outcome<bool> replaced = store.create("zoe", bytes("third"), true);
    ASSERT_TRUE(replaced.ok());
    EXPECT_TRUE(replaced.value());
    EXPECT_EQ(read_file(store_ / "zoe.key"), octets("third"));
    EXPECT_EQ(std::distance(fs::directory_iterator(store_), fs::directory_iterator()), 1);
}

// Everything in the store, as sorted paths relative to it.
std::vector<std::string> store_entries(const fs::path& store) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(store)) out.push_back(fs::relative(entry, store));
    std::sort(out.begin(), out.end());
    return out;
}

const local::SecretBytes kKey(std::vector<std::uint8_t>(64, 'k'));
const std::string kYs(1000, 'y');  // four directories and a key file

// While it lives, a file cannot grow past 16 bytes: writing a key fails with EFBIG.
class WritesFail {
public:
    WritesFail() : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = 16;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~WritesFail() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }
    WritesFail(const WritesFail&) = delete;
    WritesFail& operator=(const WritesFail&) = delete;

private:
    void (*handler_)(int);
    rlimit saved_{};
};

struct FailedCreateCase {
    const char* label;
    std::optional<std::string> existing;  // created first
    std::string name;
    bool write_fails;
};
void PrintTo(const FailedCreateCase& c, std::ostream* out) { *out << c.label; }

class FailedCreateTest : public StandinTest, public ::testing::WithParamInterface<FailedCreateCase> {};

// A failed creation leaves the store as it found it: the directories it made go, those
// that another key needs stay.
TEST_P(FailedCreateTest, LeavesTheStoreAsItWas) {
    const FailedCreateCase& c = GetParam();
    local::CredentialStore store(store_.string());
    fs::create_directories(store_);
    if (c.existing) {
        Outcome<bool> made = store.create(*c.existing, kKey, false);
        ASSERT_TRUE(made.ok() && made.value());
    }
    const std::vector<std::string> before = store_entries(store_);
    std::optional<WritesFail> failing;
    if (c.write_fails) failing.emplace();
    Outcome<bool> created = store.create(c.name, kKey, false);
    failing.reset();
    EXPECT_FALSE(created.ok() && created.value());
    EXPECT_EQ(store_entries(store_), before);
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedCreateTest,
                         ::testing::Values(FailedCreateCase{"NameTaken", kYs, kYs, false},
                                           FailedCreateCase{"WriteFails", std::nullopt, kYs, true},
                                           FailedCreateCase{"WriteFailsAboveALongerName", kYs + kYs, kYs, true},
                                           FailedCreateCase{"WriteFailsBelowAShorterName", kYs, kYs + kYs, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Threads create and delete names that share directories: a removal that empties a
// directory another thread is about to use costs that thread a retry, never its key.
TEST_F(CredentialStoreTest, ConcurrentCreatesAndDeletesOfNamesSharingDirectoriesLoseNothing) {
    local::CredentialStore store(store_.string());
    std::atomic<int> lost{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            // Three directories shared by all, a fourth by the odd threads.
            const std::string name = std::string(720, 'y') + std::string(t % 2 ? 240 : 0, 'z') + std::to_string(t);
            for (int round = 0; round < 150; ++round) {
                Outcome<bool> created = store.create(name, kKey, false);
                Outcome<bool> removed = store.remove(name);
                if (!created.ok() || !created.value() || !removed.ok() || !removed.value()) ++lost;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(lost.load(), 0);
    ASSERT_TRUE(fs::is_directory(store_));
    EXPECT_TRUE(fs::is_empty(store_));
}

// What another user owns or may write, in or above the store: refused, naming the path and
// the fault, with nothing changed.
struct UnsafeCase {
    const char* label;
    const char* path;  // relative to the store
    int owner;         // -1: kept
    unsigned mode;     // 0: kept
    bool absent;       // the store is yet to be made
    const char* what;
    std::string fault;
};
void PrintTo(const UnsafeCase& c, std::ostream* out) { *out << c.label; }

const std::string kMe = std::to_string(::geteuid());
const std::string kNotMine = "owned by uid 65534, not by the calling user (uid " + kMe + ")";
std::string writable(const char* mode) { return std::string("group or others may write it (mode ") + mode + ")"; }

class UnsafeStoreTest : public StandinTest, public ::testing::WithParamInterface<UnsafeCase> {};

TEST_P(UnsafeStoreTest, IsRefusedAndLeftAsItWas) {
    const UnsafeCase& c = GetParam();
    if (c.owner >= 0 && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    local::CredentialStore store(store_.string());
    ASSERT_TRUE(store.create("zoe", kKey, false).ok());
    if (c.absent) fs::remove_all(store_);
    const std::string_view path = c.path;
    const fs::path target = path == ".." ? store_.parent_path() : path.empty() ? store_ : store_ / path;
    if (c.owner >= 0) {
        ASSERT_EQ(::chown(target.c_str(), static_cast<uid_t>(c.owner), static_cast<gid_t>(-1)), 0);
    }
    if (c.mode != 0) {
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
    }
    const std::vector<std::string> before = c.absent ? std::vector<std::string>() : store_entries(store_);
    const std::string expected = std::string("unsafe ") + c.what + " " + target.string() + ": " + c.fault;

    const auto refused = [&](auto outcome) {
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().message(), expected);
    };
    // Where there is no store, there is nothing to read; only making it is refused.
    if (!c.absent) refused(store.load("zoe"));
    if (std::string_view(c.what) != "key file") {
        refused(store.create("new", kKey, false));
        if (!c.absent) {
            refused(store.contains("zoe"));
            refused(store.remove("zoe"));
        }
    }
    EXPECT_EQ(fs::exists(store_), !c.absent);
    if (!c.absent) {
        EXPECT_EQ(store_entries(store_), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnsafeStoreTest,
    ::testing::Values(
        UnsafeCase{"StoreOwnedByOther", "", 65534, 0, false, "key-credential store", kNotMine},
        UnsafeCase{"StoreGroupWritable", "", -1, 0770, false, "key-credential store", writable("0770")},
        UnsafeCase{"StoreOthersWritable", "", -1, 0703, false, "key-credential store", writable("0703")},
        UnsafeCase{"ParentOwnedByOther", "..", 65534, 0, false, "key-credential store directory", kNotMine + " or root"},
        UnsafeCase{"ParentOthersWritable", "..", -1, 0777, false, "key-credential store directory", writable("0777")},
        // Not even the store is made.
        UnsafeCase{"ParentOthersWritableStoreAbsent", "..", -1, 0777, true, "key-credential store directory",
                   writable("0777")},
        UnsafeCase{"KeyOwnedByOther", "zoe.key", 65534, 0, false, "key file", kNotMine},
        UnsafeCase{"KeyGroupWritable", "zoe.key", -1, 0620, false, "key file", writable("0620")}),
    [](const auto& info) { return std::string(info.param.label); });

// A sticky directory above the store (as /tmp is) is fine: nobody else can move the
// caller's directory out of it.
TEST_F(CredentialStoreTest, StickyDirectoryAboveTheStoreIsTrusted) {
    ASSERT_EQ(::chmod(store_.parent_path().c_str(), 01777), 0);
    local::CredentialStore store(store_.string());
    ASSERT_TRUE(store.create("zoe", kKey, false).ok());
    Outcome<local::CredentialStore::Loaded> loaded = store.load("zoe");
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value().state, local::CredentialStore::Loaded::Found);
}

}  // namespace
}  // namespace bio::testing
